#include "EnOceanOctave.h"
#include "EnOcean.h"
#include "EnOceanOctaveSensors.h"
#include "ServiceOctaveGPIO.h"

#include <cstdio>
#include <cstring>

SettingsEO_t SettingsEO;
uint64_t TmeClear = 0;

namespace
{
const uint8_t LearnModeCommand[] = {0x17, 0x01, 0x00, 0x00, 0x00, 0x00};
const uint8_t CommandOptional[] = {0x00};

bool WithinDoublePush(uint64_t now, uint64_t previous)
{
    return now - previous <= DOUBLE_PUSH_MS;
}
}

void InitEO(void)
{
    if (io_CreateOutput("settings/description", IO_DATA_TYPE_STRING, "") == LE_OK)
        io_SetStringDefault("settings/description", "");
    else
        LE_INFO("Failed to create Settings Description");
    SettingsEO.descHandler = io_AddStringPushHandler("settings/description", HandleSettingsDescPush, &SettingsEO);

    if (io_CreateOutput("settings/enable", IO_DATA_TYPE_BOOLEAN, "") == LE_OK)
        io_SetBooleanDefault("settings/enable", true);
    else
        LE_INFO("Failed to create Settings Enable");
    SettingsEO.enableHandler = io_AddBooleanPushHandler("settings/enable", HandleSettingsEnablePush, &SettingsEO);

    if (io_CreateOutput("settings/secure", IO_DATA_TYPE_BOOLEAN, "") == LE_OK)
        io_SetBooleanDefault("settings/secure", false);
    else
        LE_INFO("Failed to create Settings Secure");
    SettingsEO.secureHandler = io_AddBooleanPushHandler("settings/secure", HandleSettingsSecurePush, &SettingsEO);

    if (io_CreateOutput("settings/learn", IO_DATA_TYPE_TRIGGER, "") != LE_OK) LE_INFO("Failed to create Trigger");
    SettingsEO.learnHandler = io_AddTriggerPushHandler("settings/learn", HandleTriggerPush, &SettingsEO);

    if (io_CreateOutput("settings/clear", IO_DATA_TYPE_TRIGGER, "") != LE_OK) LE_INFO("Failed to create Trigger");
    SettingsEO.clearHandler = io_AddTriggerPushHandler("settings/clear", HandleTriggerClearPush, nullptr);

    if (io_CreateOutput("settings/addon_type", IO_DATA_TYPE_NUMERIC, "") == LE_OK)
        io_SetNumericDefault("settings/addon_type", 0);
    else
        LE_INFO("Failed to create AddOn Type");
    SettingsEO.addOnTypeHandler =
        io_AddNumericPushHandler("settings/addon_type", HandleSettingsAddOnPush, &SettingsEO);
}

void DeleteSettingsEventsEO(uint8_t keep)
{
    RemovePushHandler(SettingsEO.descHandler, io_RemoveStringPushHandler);
    RemovePushHandler(SettingsEO.enableHandler, io_RemoveBooleanPushHandler);
    RemovePushHandler(SettingsEO.secureHandler, io_RemoveBooleanPushHandler);
    RemovePushHandler(SettingsEO.clearHandler, io_RemoveTriggerPushHandler);
    RemovePushHandler(SettingsEO.learnHandler, io_RemoveTriggerPushHandler);
    if (keep == 0) RemovePushHandler(SettingsEO.addOnTypeHandler, io_RemoveNumericPushHandler);
}

void DeleteMainResourcesEO(uint8_t keep)
{
    LE_INFO("Clear Main Resources.");
    DeleteSettingsEventsEO(keep);
    io_DeleteResource("settings/description");
    io_DeleteResource("settings/enable");
    io_DeleteResource("settings/secure");
    io_DeleteResource("settings/learn");
    io_DeleteResource("settings/clear");
    if (keep == 0) io_DeleteResource("settings/addon_type");
}

void HandleSettingsDescPush(double timestamp, const char* value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto* settings = static_cast<SettingsEO_t*>(contextPtr);
    // Longer texts are cut at a character boundary; the fields behind stay untouched.
    le_utf8_Copy(settings->description, value ? value : "", sizeof(settings->description), nullptr);
    LE_INFO("%s", settings->description);
}

void HandleSettingsEnablePush(double timestamp, bool value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto* settings = static_cast<SettingsEO_t*>(contextPtr);
    settings->enable = value ? 1 : 0;
    LE_INFO("%s", settings->description);
}

void HandleSettingsSecurePush(double timestamp, bool value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto* settings = static_cast<SettingsEO_t*>(contextPtr);
    settings->secure = value ? 1 : 0;
    LE_INFO("%s", settings->description);
}

void HandleTriggerPush(double timestamp, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto* settings = static_cast<SettingsEO_t*>(contextPtr);
    LE_INFO("Trigger");
    uint64_t t = UserTimeMs();
    if (WithinDoublePush(t, TmeLearnON) && settings->enable)
    {
        LearnMode = 1;
        LearnModeTime = UserTimeMs();
        le_EnOcean_SendData(ESP3_COMMON_COMMAND, LearnModeCommand, sizeof(LearnModeCommand), CommandOptional,
                            sizeof(CommandOptional));
        LE_INFO("Learn Mode ON");
    }
    TmeLearnON = t;
}

void HandleTriggerClearPush(double timestamp, void* contextPtr)
{
    LE_UNUSED(timestamp);
    LE_UNUSED(contextPtr);
    LE_INFO("Trigger");
    uint64_t t = UserTimeMs();
    if (WithinDoublePush(t, TmeClear))
    {
        for (SensorRecord_t& record : Sensor)
        {
            if (record.id[0] == '\0') continue;
            LE_INFO("Removed.");
            record.deleteTime = UserTimeMs();
            char id[SENSOR_ID_LEN + 1];
            le_utf8_Copy(id, record.id, sizeof(id), nullptr);   // the record is freed on the way
            DeleteSensorResources(id);
        }
        ForEachIdentifierLine(
            HistoryFile,
            [](unsigned lineNo, const char* id, void*) {
                if (id == nullptr)
                {
                    LE_INFO("Skipped line %u of %s: not a sensor identifier", lineNo, HistoryFile);
                    return true;
                }
                LE_INFO("Try to delete sensor.");
                LE_INFO("%s", id);
                DeleteResourceEO(id, 1);
                return true;
            },
            nullptr);
    }
    TmeClear = t;
}
