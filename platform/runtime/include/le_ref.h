// Safe references: opaque handles that map to pointers and can be checked before use.
#pragma once

#include "le_basics.h"

typedef struct le_ref_Map* le_ref_MapRef_t;

le_ref_MapRef_t le_ref_CreateMap(const char* name, size_t initialSize);
// Never returns NULL; references are not reused within a map.
void* le_ref_CreateRef(le_ref_MapRef_t map, void* ptr);
void* le_ref_Lookup(le_ref_MapRef_t map, void* safeRef);
void le_ref_DeleteRef(le_ref_MapRef_t map, void* safeRef);
size_t le_ref_Count(le_ref_MapRef_t map);
// Calls func for each live entry (the map may be changed by func only for the current entry).
void le_ref_ForEach(le_ref_MapRef_t map, void (*func)(void* safeRef, void* ptr, void* ctx), void* ctx);
