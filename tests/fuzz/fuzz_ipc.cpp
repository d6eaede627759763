// Unpacking requests, answers and events from the services' interface descriptions: what unpacks
// must pack again to the very same bytes, in the size PackedSize gives.
#include "fuzz_support.h"
#include "le_EModbus_interface.h"
#include "le_EnOcean_interface.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{
void RoundTrip(const le_ipc_Param_t* params, size_t count, bool outputs, const uint8_t* data, size_t size)
{
    std::vector<le_ipc_Value_t> values(count + 1);
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
    if (size < 1) return 0;
    const le_ipc_Interface_t* iface = (data[0] & 0x80) ? &le_EModbus_Interface : &le_EnOcean_Interface;
    size_t kinds = iface->methodCount * 2 + iface->eventCount;
    size_t kind = (data[0] & 0x7F) % kinds;
    data++, size--;
    if (kind < iface->methodCount * 2)
    {
        const le_ipc_Method_t& method = iface->methods[kind / 2];
        RoundTrip(method.params, method.paramCount, kind % 2 == 1, data, size);
    }
    else
    {
        const le_ipc_Event_t& event = iface->events[kind - iface->methodCount * 2];
        RoundTrip(event.fields, event.fieldCount, false, data, size);
    }
    return 0;
}
