#include "UniversalConverterOctave.h"
#include "ServiceOctaveGPIO.h"

SettingsUC_t SettingsUC;

namespace
{
io_NumericPushHandlerRef_t AddOnTypeHandler = nullptr;
}

void InitUC(uint8_t mode)
{
    LE_UNUSED(mode);
    if (io_CreateOutput("settings/addon_type", IO_DATA_TYPE_NUMERIC, "") == LE_OK)
    {
        io_SetNumericDefault("settings/addon_type", 0);
    }
    else
    {
        LE_INFO("Failed to create Settings AddOn Type");
    }
    AddOnTypeHandler = io_AddNumericPushHandler("settings/addon_type", HandleSettingsAddOnPush, &SettingsUC);
}

void DeleteMainResourcesUC(uint8_t keep)
{
    LE_INFO("Clear Main Resources.");
    if (keep == 0)
    {
        RemovePushHandler(AddOnTypeHandler, io_RemoveNumericPushHandler);
        io_DeleteResource("settings/addon_type");
    }
}
