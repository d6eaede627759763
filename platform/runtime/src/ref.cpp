#include "le_ref.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>

struct le_ref_Map
{
    char name[32];
    std::mutex mutex;
    std::map<uintptr_t, void*> entries;
    uintptr_t next = 1;
};

le_ref_MapRef_t le_ref_CreateMap(const char* name, size_t initialSize)
{
    LE_UNUSED(initialSize);
    auto* map = new le_ref_Map();
    snprintf(map->name, sizeof(map->name), "%s", name ? name : "");
    return map;
}

void* le_ref_CreateRef(le_ref_MapRef_t map, void* ptr)
{
    std::lock_guard<std::mutex> lock(map->mutex);
    // Odd values never collide with real (aligned) pointers, so a stray pointer is never taken for a reference.
    uintptr_t ref = (map->next++ << 1) | 1u;
    map->entries[ref] = ptr;
    return reinterpret_cast<void*>(ref);
}

void* le_ref_Lookup(le_ref_MapRef_t map, void* safeRef)
{
    std::lock_guard<std::mutex> lock(map->mutex);
    auto it = map->entries.find(reinterpret_cast<uintptr_t>(safeRef));
    return it == map->entries.end() ? nullptr : it->second;
}

void le_ref_DeleteRef(le_ref_MapRef_t map, void* safeRef)
{
    std::lock_guard<std::mutex> lock(map->mutex);
    map->entries.erase(reinterpret_cast<uintptr_t>(safeRef));
}

size_t le_ref_Count(le_ref_MapRef_t map)
{
    std::lock_guard<std::mutex> lock(map->mutex);
    return map->entries.size();
}

void le_ref_ForEach(le_ref_MapRef_t map, void (*func)(void* safeRef, void* ptr, void* ctx), void* ctx)
{
    std::map<uintptr_t, void*> snapshot;
    {
        std::lock_guard<std::mutex> lock(map->mutex);
        snapshot = map->entries;
    }
    for (const auto& e : snapshot)
    {
        func(reinterpret_cast<void*>(e.first), e.second, ctx);
    }
}
