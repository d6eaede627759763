#include "EnOceanOctave.h"
#include "ServiceOctaveGPIO.h"

SettingsEO_t SettingsEO;

namespace
{
io_NumericPushHandlerRef_t AddOnTypeHandler = nullptr;
}

void InitEO(void)
{
    if (io_CreateOutput("settings/addon_type", IO_DATA_TYPE_NUMERIC, "") == LE_OK)
    {
        io_SetNumericDefault("settings/addon_type", 0);
    }
    else
    {
        LE_INFO("Failed to create AddOn Type");
    }
    AddOnTypeHandler = io_AddNumericPushHandler("settings/addon_type", HandleSettingsAddOnPush, &SettingsEO);
}

void DeleteMainResourcesEO(uint8_t keep)
{
    LE_INFO("Clear Main Resources.");
    if (keep == 0)
    {
        if (AddOnTypeHandler != nullptr)
        {
            io_RemoveNumericPushHandler(AddOnTypeHandler);
            AddOnTypeHandler = nullptr;
        }
        io_DeleteResource("settings/addon_type");
    }
}
