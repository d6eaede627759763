// Memory pools of fixed-size objects that grow on demand.
#pragma once

#include "le_basics.h"

typedef struct le_mem_Pool* le_mem_PoolRef_t;

le_mem_PoolRef_t le_mem_CreatePool(const char* name, size_t objSize);
// Never fails: the pool grows. The object is zero-filled.
void* le_mem_ForceAlloc(le_mem_PoolRef_t pool);
// NULL when the pool's limit (if set) is reached.
void* le_mem_TryAlloc(le_mem_PoolRef_t pool);
void le_mem_SetMaxObjs(le_mem_PoolRef_t pool, size_t maxObjs);
void le_mem_Release(void* objPtr);
size_t le_mem_GetObjectCount(le_mem_PoolRef_t pool);   // objects now allocated
size_t le_mem_GetObjectSize(le_mem_PoolRef_t pool);
const char* le_mem_GetName(le_mem_PoolRef_t pool);
