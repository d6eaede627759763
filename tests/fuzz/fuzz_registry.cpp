// The sensor registry file as it may be found on the flash: loaded into the table, whose records
// then hold only distinct identifiers in the receiver's form, packed from record 0.
#include "EnOcean.h"
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
bool WriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

bool CountLine(unsigned, const char* id, void* ctx)
{
    if (id != nullptr && !IsSensorId(id)) abort();
    ++*static_cast<unsigned*>(ctx);
    return true;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& dir = fuzz_Setup();
    if (!WriteFile(dir + "/EnOcean.txt", data, size)) abort();
    memset(Sensor, 0, sizeof(Sensor));
    ReadSensors();
    size_t filled = 0;
    while (filled < SENSOR_COUNT && Sensor[filled].id[0] != '\0') filled++;
    for (size_t i = 0; i < SENSOR_COUNT; i++)
    {
        if (i < filled)
        {
            if (!IsSensorId(Sensor[i].id)) abort();
            for (size_t j = 0; j < i; j++)
            {
                if (strcmp(Sensor[i].id, Sensor[j].id) == 0) abort();
            }
        }
        else if (Sensor[i].id[0] != '\0')
        {
            abort();
        }
    }
    // The history file is read by the same reader.
    if (!WriteFile(dir + "/EnOceanBackup.txt", data, size)) abort();
    unsigned lines = 0;
    if (!ForEachIdentifierLine(HistoryFile, CountLine, &lines)) abort();
    return 0;
}
