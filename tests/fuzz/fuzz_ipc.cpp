// Unpacking requests, answers and events from the services' interface descriptions: what unpacks
// must pack again to the very same bytes, in the size PackedSize gives.
#include "fuzz_support.h"
#include "le_EModbus_interface.h"
#include "le_ExtAdc_interface.h"
#include "le_EnOcean_interface.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{
// firstInput stands for what the client sent first: a mask that may leave outputs out.
void RoundTrip(const le_ipc_Param_t* params, size_t count, bool outputs, uint64_t firstInput, const uint8_t* data,
               size_t size)
{
    std::vector<le_ipc_Value_t> values(count + 1);
    values[0].num = firstInput;
    if (!le_ipc_Unpack(params, count, outputs, data, size, values.data())) return;
    size_t counted = 0;
    if (!le_ipc_PackedSize(params, count, outputs, values.data(), &counted) || counted != size) abort();
    std::vector<uint8_t> again(size + 1);
    size_t used = 0;
    if (!le_ipc_Pack(params, count, outputs, values.data(), again.data(), again.size(), &used)) abort();
    if (used != size || (size > 0 && memcmp(again.data(), data, size) != 0)) abort();
    for (size_t i = 0; i < count; i++)
    {
        if (params[i].type == LE_IPC_STRING && params[i].isOutput == outputs)
        {
            char text[512];
            le_ipc_CopyString(&values[i], text, sizeof(text));
            if (memchr(text, '\0', sizeof(text)) == nullptr) abort();
        }
    }
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_Setup();
    if (size < 2) return 0;
    // Bit 7 picks le_EModbus, else bit 6 le_ExtAdc, else le_EnOcean; the second byte is the
    // request's first input where outputs are unpacked (le_ExtAdc's GetValue output mask).
    const le_ipc_Interface_t* iface = (data[0] & 0x80)   ? &le_EModbus_Interface
                                      : (data[0] & 0x40) ? &le_ExtAdc_Interface
                                                         : &le_EnOcean_Interface;
    size_t kinds = iface->methodCount * 2 + iface->eventCount;
    size_t kind = (data[0] & 0x3F) % kinds;
    uint64_t firstInput = data[1];
    data += 2, size -= 2;
    if (kind < iface->methodCount * 2)
    {
        const le_ipc_Method_t& method = iface->methods[kind / 2];
        RoundTrip(method.params, method.paramCount, kind % 2 == 1, firstInput, data, size);
    }
    else
    {
        const le_ipc_Event_t& event = iface->events[kind - iface->methodCount * 2];
        RoundTrip(event.fields, event.fieldCount, false, firstInput, data, size);
    }
    return 0;
}
