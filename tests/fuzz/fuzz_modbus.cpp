// Modbus answer assembly on the master's serial port: a request goes out, the input comes back as
// the answer (raw, or with a correct CRC appended so that delivery is reached too).
#include "Modbus.h"
#include "fuzz_support.h"
#include "le_event.h"

#include <cstdlib>
#include <vector>

namespace
{
size_t Delivered = 0;
void CountAnswer(const uint8_t* answer, size_t size, void*)
{
    if (answer == nullptr || size < 4 || size > MODBUS_ANSWER_MAX) abort();
    Delivered++;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool started = false;
    if (!started)
    {
        if (!fuzz_OpenPort("/dev/ttyHS1")) abort();
        le_EModbus_Start();
        if (le_EModbus_AddOnReceiveHandler(CountAnswer, nullptr) == nullptr) abort();
        started = true;
    }
    if (size < 1) return 0;
    uint8_t options = data[0];
    data++, size--;
    // The anti-lock timer drops whatever the last input left on the line.
    le_event_AdvanceMs(2 * MODBUS_ANTI_LOCK_MS + 10);
    static const uint8_t Requests[][8] = {{0x01, 0x03, 0x00, 0x00, 0x00, 0x08, 0, 0},
                                          {0x01, 0x05, 0x00, 0x02, 0xFF, 0x00, 0, 0},
                                          {0x01, 0x06, 0x00, 0x05, 0x12, 0x34, 0, 0}};
    const uint8_t* request = Requests[(options >> 1) % 3];
    if (le_EModbus_SendRequest(request, 8) != LE_OK) abort();
    le_event_AdvanceMs(1);
    fuzz_Settle();
    std::vector<uint8_t> answer(data, data + size);
    if (options & 0x01)
    {
        uint16_t crc = CRC(answer.data(), answer.size());
        answer.push_back(static_cast<uint8_t>(crc & 0xFF));
        answer.push_back(static_cast<uint8_t>(crc >> 8));
    }
    fuzz_Feed(answer.data(), answer.size());
    return 0;
}
