#include "ServiceOctaveGPIO_II.h"
#include "ServiceOctaveGPIO.h"

namespace
{
void InitInput(int n)
{
    const GpioBinding_t& pin = GpioBindings[n - 1];
    GpioRecord_t& record = GPIOS[n - 1];
    pin.TryConnectService();
    pin.SetInput(LE_GPIO_ACTIVE_HIGH);
    record.changeHandlerRef = pin.AddChangeEventHandler(LE_GPIO_EDGE_BOTH, OnStateChanege, &record, 0);

    SetGpioRecord(n, "/input");
    if (io_CreateInput(record.path, IO_DATA_TYPE_BOOLEAN, "") == LE_OK)
        io_SetBooleanDefault(record.path, false);
    else
        LE_INFO("Failed to create Data Hub Input GPIO %d", n);
    io_PushBoolean(record.path, 0, pin.Read());
}
}

void Init1_I(void)
{
    InitInput(1);
    InitInput(2);
}

void Init2_I(void)
{
    InitInput(3);
    InitInput(4);
}

void OnStateChanege(bool state, void* contextPtr)
{
    LE_INFO("GPIO Input State Changed.");
    const GpioRecord_t* record = static_cast<const GpioRecord_t*>(contextPtr);
    if (record == nullptr) return;
    io_PushBoolean(record->path, 0, state);
}
