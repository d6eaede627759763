// EEP decoding of radio telegram data: every profile the gateway knows, and EEP texts from the input.
#include "EnOceanEEP.h"
#include "fuzz_support.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const Profiles[] = {"F60203", "D50001", "A50701", "A50403", "A50401", "A50904",
                                           "D23200", "D23202", "D23201", "D20A01", "a50401", ""};
    const size_t profileCount = sizeof(Profiles) / sizeof(Profiles[0]);
    fuzz_Setup();
    if (size < 1) return 0;
    char eep[8] = "";
    size_t choice = data[0] % (profileCount + 1);
    data++, size--;
    if (choice < profileCount)
    {
        strcpy(eep, Profiles[choice]);
    }
    else
    {
        // An EEP text of the input's own (up to 7 bytes, whatever they are).
        size_t n = size < 7 ? size : 7;
        memcpy(eep, data, n);
        eep[n] = '\0';
        data += n, size -= n;
    }
    for (size_t jsonSize : {size_t(EEP_JSON_MAX + 1), size_t(16)})
    {
        char json[EEP_JSON_MAX + 1 + 16];
        memset(json, 'X', sizeof(json));
        DecodeEEP(eep, data, size, json, jsonSize);
        // Terminated within the size given, nothing written past it.
        if (memchr(json, '\0', jsonSize) == nullptr) abort();
        for (size_t i = jsonSize; i < sizeof(json); i++)
        {
            if (json[i] != 'X') abort();
        }
    }
    return 0;
}
