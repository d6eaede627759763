// The converter's Data Hub binding.
#pragma once

#include "legato.h"

typedef struct
{
    uint8_t addOnType;   // first field: written by the add-on selection handler
}
SettingsUC_t;

extern SettingsUC_t SettingsUC;

void InitUC(uint8_t mode);
void DeleteMainResourcesUC(uint8_t keep);
