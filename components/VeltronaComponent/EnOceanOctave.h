// The EnOcean gateway's settings resources.
#pragma once

#include "legato.h"

typedef struct
{
    uint8_t addOnType;   // first field: written by the add-on selection handler
}
SettingsEO_t;

extern SettingsEO_t SettingsEO;

void InitEO(void);
void DeleteMainResourcesEO(uint8_t keep);
