// The ESP3 receiver on its serial port, with the whole gateway behind it: registered sensors of
// every decoded profile, learning, decoding and the service's receive handlers.
//
// Input: a first byte of options, then either raw line bytes (sync, CRCs and all, as the fuzzer
// makes them) or frame descriptions that are sent as well-formed frames, so that the fuzzer also
// reaches what lies behind the CRC checks.
#include "EnOcean.h"
#include "EnOceanOctave.h"
#include "datahub_admin.h"
#include "fuzz_support.h"
#include "le_event.h"
#include "sim_esp3.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{
size_t Heard = 0;
void CountFrame(uint8_t, const uint8_t*, size_t, const char*, const char*, const char*, bool, void*)
{
    Heard++;
}

void StartGateway()
{
    const std::string& dir = fuzz_Setup();
    if (!fuzz_OpenPort("/dev/ttyHS0")) abort();
    size_t count = 0;
    const SimEsp3Sensor* sensors = simEsp3_Sensors(&count);
    std::string registry;
    for (size_t i = 0; i < count; i++)
    {
        char id[16];
        snprintf(id, sizeof(id), "E%08x\n", static_cast<unsigned>(sensors[i].id));
        registry += id;
    }
    FILE* f = fopen((dir + "/EnOcean.txt").c_str(), "w");
    if (f == nullptr || fputs(registry.c_str(), f) < 0 || fclose(f) != 0) abort();
    InitEO();
    StartEO();
    le_EnOcean_AddOnReceiveHandler(CountFrame, nullptr);
    fuzz_Settle();
    for (size_t i = 0; i < count; i++)
    {
        char path[64];
        snprintf(path, sizeof(path), "sensors/E%08x/eep", static_cast<unsigned>(sensors[i].id));
        dhub_AdminPush(path, sensors[i].eep);
    }
    fuzz_Settle();
}

void StartLearning()
{
    dhub_AdminPush("settings/learn", "");
    dhub_AdminPush("settings/learn", "");
    le_event_RunUntilIdle();
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool started = false;
    if (!started)
    {
        StartGateway();
        started = true;
    }
    if (size < 1) return 0;
    uint8_t options = data[0];
    data++, size--;
    // A pause longer than the byte gap: the receiver starts afresh, so each input stands alone.
    le_event_AdvanceMs(70000);
    if (options & 0x02) StartLearning();
    dhub_AdminPush("settings/secure", (options & 0x04) ? "true" : "false");
    dhub_AdminPush("settings/enable", (options & 0x08) ? "false" : "true");
    le_event_RunUntilIdle();
    if (options & 0x01)
    {
        fuzz_Feed(data, size);
        return 0;
    }
    // Frames: packet type, data length, optional length, then that many bytes (what is there).
    std::vector<uint8_t> line;
    for (size_t at = 0; at + 3 <= size;)
    {
        uint8_t type = data[at];
        size_t dataLen = data[at + 1];
        size_t optLen = data[at + 2] % 16;
        at += 3;
        size_t take = std::min(dataLen + optLen, size - at);
        dataLen = std::min(dataLen, take);
        optLen = take - dataLen;
        uint8_t frame[300];
        size_t n = simEsp3_Frame(type, data + at, dataLen, data + at + dataLen, optLen, frame, sizeof(frame));
        line.insert(line.end(), frame, frame + n);
        at += take;
    }
    fuzz_Feed(line.data(), line.size());
    return 0;
}
