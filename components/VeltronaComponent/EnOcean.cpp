#include "EnOcean.h"

#include <cstdio>
#include <cstring>

SensorRecord_t Sensor[SENSOR_COUNT];

const char* const RegistryFile = "/mnt/userrw/EnOcean.txt";
const char* const HistoryFile = "/mnt/userrw/EnOceanBackup.txt";

bool IsSensorId(const char* text)
{
    if (text == nullptr || text[0] != 'E') return false;
    for (size_t i = 1; i < SENSOR_ID_LEN; i++)
    {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

namespace
{
bool IsRegistered(const char* id, size_t filled)
{
    for (size_t i = 0; i < filled; i++)
    {
        if (strcmp(Sensor[i].id, id) == 0) return true;
    }
    return false;
}
}

void ReadSensors(void)
{
    FILE* file = pa_fs_Fopen(RegistryFile, "r");
    if (file == nullptr) return;
    char line[64];
    size_t filled = 0;
    unsigned lineNo = 0;
    while (filled < SENSOR_COUNT && fgets(line, sizeof(line), file) != nullptr)
    {
        size_t len = strlen(line);
        bool complete = (len > 0 && line[len - 1] == '\n') || feof(file);
        if (!complete)
        {
            // An over-long line: skip the rest of it too.
            int c;
            while ((c = fgetc(file)) != EOF && c != '\n')
            {
            }
        }
        lineNo++;
        if (line[0] == '\n' || line[0] == '\0') continue;
        if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
        if (!complete || len != SENSOR_ID_LEN || !IsSensorId(line) || IsRegistered(line, filled))
        {
            LE_INFO("Skipped line %u of %s: not a new sensor identifier", lineNo, RegistryFile);
            continue;
        }
        memcpy(Sensor[filled].id, line, SENSOR_ID_LEN);
        Sensor[filled].id[SENSOR_ID_LEN] = '\0';
        filled++;
    }
    fclose(file);
}

void StartEO(void)
{
}
