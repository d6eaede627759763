// The Data Hub's kept-settings file as it may be found after a crash or by hand editing: loaded,
// then applied to outputs of every type.
#include "datahub_admin.h"
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& dir = fuzz_Setup();
    std::string file = dir + "/settings.txt";
    FILE* f = fopen(file.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0) abort();
    dhub_Reset();
    if (dhub_SetSettingsFile(file.c_str()) != LE_OK) abort();
    const struct
    {
        const char* path;
        io_DataType_t type;
    } outputs[] = {{"settings/a", IO_DATA_TYPE_NUMERIC}, {"settings/b", IO_DATA_TYPE_BOOLEAN},
                   {"settings/c", IO_DATA_TYPE_STRING},  {"settings/d", IO_DATA_TYPE_JSON},
                   {"settings/e", IO_DATA_TYPE_TRIGGER}, {"settings/addon_type", IO_DATA_TYPE_NUMERIC}};
    for (const auto& o : outputs) io_CreateOutput(o.path, o.type, "");
    std::string answer;
    dhub_AnswerRequest("LIST", &answer);
    dhub_SetSettingsFile(nullptr);
    return 0;
}
