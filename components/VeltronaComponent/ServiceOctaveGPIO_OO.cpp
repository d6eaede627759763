#include "ServiceOctaveGPIO_OO.h"
#include "ServiceOctaveGPIO.h"

namespace
{
void InitOutput(int n)
{
    const GpioBinding_t& pin = GpioBindings[n - 1];
    pin.TryConnectService();
    pin.EnablePullUp();
    pin.SetPushPullOutput(LE_GPIO_ACTIVE_HIGH, false);

    GpioRecord_t& record = GPIOS[n - 1];
    SetGpioRecord(n, "/output");
    if (io_CreateOutput(record.path, IO_DATA_TYPE_BOOLEAN, "") != LE_OK) LE_INFO("Failed to create Output %d", n);
    io_SetBooleanDefault(record.path, false);
    record.pushHandlerRef = io_AddBooleanPushHandler(record.path, HandleGPIOPush, &record);
}
}

void Init1_O(void)
{
    InitOutput(1);
    InitOutput(2);
}

void Init2_O(void)
{
    InitOutput(3);
    InitOutput(4);
}

void HandleGPIOPush(double timestamp, bool value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    LE_INFO("GPIO Output State Changed.");
    const GpioRecord_t* record = static_cast<const GpioRecord_t*>(contextPtr);
    if (record == nullptr || record->index < 1 || record->index > 4) return;
    const GpioBinding_t& pin = GpioBindings[record->index - 1];
    if (value) pin.Activate();
    else pin.Deactivate();
}
