#include "le_mem.h"
#include "le_log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct le_mem_Pool
{
    char name[32];
    size_t objSize;
    std::atomic<size_t> count{0};
    std::atomic<size_t> maxObjs{0};   // 0: no limit
};

namespace
{
// Each block starts with its pool so Release finds the counter; aligned for any object.
struct alignas(std::max_align_t) BlockHeader
{
    le_mem_Pool* pool;
};

void* Allocate(le_mem_PoolRef_t pool)
{
    auto* header = static_cast<BlockHeader*>(calloc(1, sizeof(BlockHeader) + pool->objSize));
    if (header == nullptr)
    {
        LE_CRIT("Out of memory for pool %s", pool->name);
        abort();
    }
    header->pool = pool;
    pool->count++;
    return header + 1;
}
}

le_mem_PoolRef_t le_mem_CreatePool(const char* name, size_t objSize)
{
    auto* pool = new le_mem_Pool();
    snprintf(pool->name, sizeof(pool->name), "%s", name ? name : "");
    pool->objSize = objSize;
    return pool;
}

void* le_mem_ForceAlloc(le_mem_PoolRef_t pool)
{
    return Allocate(pool);
}

void* le_mem_TryAlloc(le_mem_PoolRef_t pool)
{
    size_t limit = pool->maxObjs.load();
    if (limit != 0 && pool->count.load() >= limit) return nullptr;
    return Allocate(pool);
}

void le_mem_SetMaxObjs(le_mem_PoolRef_t pool, size_t maxObjs)
{
    pool->maxObjs = maxObjs;
}

void le_mem_Release(void* objPtr)
{
    if (objPtr == nullptr) return;
    BlockHeader* header = static_cast<BlockHeader*>(objPtr) - 1;
    header->pool->count--;
    free(header);
}

size_t le_mem_GetObjectCount(le_mem_PoolRef_t pool)
{
    return pool->count.load();
}

size_t le_mem_GetObjectSize(le_mem_PoolRef_t pool)
{
    return pool->objSize;
}

const char* le_mem_GetName(le_mem_PoolRef_t pool)
{
    return pool->name;
}
