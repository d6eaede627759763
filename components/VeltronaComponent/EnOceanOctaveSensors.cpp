#include "EnOceanOctaveSensors.h"
#include "EnOcean.h"
#include "EnOceanOctave.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace
{
const uint8_t SecureDeviceDelete = 0x1A;
const uint8_t CommandOptional[] = {0x00};

std::string SensorPath(const char* id, const char* suffix)
{
    return std::string("sensors/") + id + suffix;
}
}

void CreateSensor(const char* id, const char* eep)
{
    std::string description = SensorPath(id, "/description");
    std::string eepPath = SensorPath(id, "/eep");
    std::string enable = SensorPath(id, "/enable");
    std::string del = SensorPath(id, "/delete");
    std::string secure = SensorPath(id, "/secure");
    std::string data = SensorPath(id, "/data");

    if (io_CreateOutput(description.c_str(), IO_DATA_TYPE_STRING, "") == LE_OK)
        io_SetStringDefault(description.c_str(), "");
    else
        LE_INFO("Failed to create Sensor Description");

    if (io_CreateOutput(eepPath.c_str(), IO_DATA_TYPE_STRING, "") == LE_OK)
        io_SetStringDefault(eepPath.c_str(), eep ? eep : "");
    else
        LE_INFO("Failed to create Sensor EEP");

    int index = FindSensor(id);
    SensorRecord_t* record = index >= 0 ? &Sensor[index] : nullptr;
    LE_INFO("%s", record ? "Sensor Found" : "Sensor NOT Found");
    if (record)
    {
        LE_INFO("EEP trigger activated.");
        record->eepHandler = io_AddStringPushHandler(eepPath.c_str(), HandleSensorEEPPush, record);
    }

    if (io_CreateOutput(enable.c_str(), IO_DATA_TYPE_BOOLEAN, "") == LE_OK)
        io_SetBooleanDefault(enable.c_str(), true);
    else
        LE_INFO("Failed to create Sensor Enable");
    if (record)
    {
        LE_INFO("Enable trigger activated.");
        record->enableHandler = io_AddBooleanPushHandler(enable.c_str(), HandleSensorEnablePush, record);
    }

    if (io_CreateOutput(del.c_str(), IO_DATA_TYPE_TRIGGER, "") != LE_OK) LE_INFO("Failed to create trigger");
    if (record)
    {
        LE_INFO("Trigger activated.");
        record->deleteHandler = io_AddTriggerPushHandler(del.c_str(), HandleSensorDeletePush, record);
    }

    if (io_CreateInput(secure.c_str(), IO_DATA_TYPE_BOOLEAN, "") == LE_OK)
        io_SetBooleanDefault(secure.c_str(), false);
    else
        LE_INFO("Failed to create Secure");

    if (io_CreateInput(data.c_str(), IO_DATA_TYPE_JSON, "") != LE_OK) LE_INFO("Failed to create Sensor Data");
}

void PushDataSensor(int index, const char* json, bool secure)
{
    if (index < 0 || index >= SENSOR_COUNT) return;
    SensorRecord_t& record = Sensor[index];
    io_PushJson(SensorPath(record.id, "/data").c_str(), IO_NOW, json);
    if (secure != (record.secure != 0))
    {
        record.secure = secure ? 1 : 0;
        io_PushBoolean(SensorPath(record.id, "/secure").c_str(), IO_NOW, secure);
    }
}

void DeleteEvents(int index)
{
    if (index < 0 || index >= SENSOR_COUNT) return;
    SensorRecord_t& record = Sensor[index];
    RemovePushHandler(record.deleteHandler, io_RemoveTriggerPushHandler);
    RemovePushHandler(record.enableHandler, io_RemoveBooleanPushHandler);
    RemovePushHandler(record.eepHandler, io_RemoveStringPushHandler);
}

void DeleteSensorResources(const char* id)
{
    uint64_t now = UserTimeMs();
    int index = -1;
    for (int i = 0; i < SENSOR_COUNT; i++)
    {
        if (Sensor[i].id[0] == '\0' || strcmp(Sensor[i].id, id) != 0) continue;
        index = i;
        if (now - Sensor[i].deleteTime <= DOUBLE_PUSH_MS)
        {
            DeleteEvents(i);
            break;
        }
    }
    if (index < 0) return;
    SensorRecord_t& record = Sensor[index];
    if (now - record.deleteTime > DOUBLE_PUSH_MS)
    {
        record.deleteTime = now;   // armed: a second request within the window deletes
        WriteSensor(nullptr);
        return;
    }
    LE_INFO("Sensor Deleted.");
    char copy[SENSOR_ID_LEN + 1];
    le_utf8_Copy(copy, record.id, sizeof(copy), nullptr);
    DeleteResourceEO(copy, 1);
    record.id[0] = '\0';
    record.eepHandler = nullptr;
    record.enableHandler = nullptr;
    record.deleteHandler = nullptr;
    record.deleteTime = 0;
    WriteSensor(nullptr);
}

void DeleteResourceEO(const char* id, uint8_t notify)
{
    static const char* const suffixes[] = {"/description", "/eep", "/enable", "/secure", "/delete", "/data"};
    for (const char* suffix : suffixes) io_DeleteResource(SensorPath(id, suffix).c_str());
    if (!notify) return;
    uint8_t command[5] = {SecureDeviceDelete, 0, 0, 0, 0};
    if (!IsSensorId(id) || sscanf(id + 1, "%2hhx%2hhx%2hhx%2hhx", &command[1], &command[2], &command[3],
                                  &command[4]) != 4)
    {
        LE_INFO("%s is not a sensor identifier; the transceiver is not told", id);
        return;
    }
    le_EnOcean_SendData(ESP3_COMMON_COMMAND, command, sizeof(command), CommandOptional, sizeof(CommandOptional));
    LE_INFO("Del %02x %02x %02x %02x", command[1], command[2], command[3], command[4]);
}

void HandleSensorEEPPush(double timestamp, const char* value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto* record = static_cast<SensorRecord_t*>(contextPtr);
    LE_INFO("%s", record->id);
    // Cut to the 6 characters of an EEP text; the fields behind stay untouched.
    le_utf8_CopyN(record->eep, value ? value : "", SENSOR_EEP_LEN, sizeof(record->eep));
    LE_INFO("%s", record->eep);
}

void HandleSensorEnablePush(double timestamp, bool value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto* record = static_cast<SensorRecord_t*>(contextPtr);
    LE_INFO("%s", record->id);
    record->enable = value ? 1 : 0;
}

void HandleSensorDeletePush(double timestamp, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto* record = static_cast<SensorRecord_t*>(contextPtr);
    LE_INFO("Deleting sensor...");
    LE_INFO("%s", record->id);
    LE_INFO("%s", record->eep);
    char id[SENSOR_ID_LEN + 1];
    le_utf8_Copy(id, record->id, sizeof(id), nullptr);
    DeleteSensorResources(id);
}
