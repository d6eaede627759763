#include "ServiceOctaveGPIO_4I4O.h"
#include "ServiceOctaveGPIO.h"
#include "ServiceOctaveGPIO_8I.h"

namespace
{
uint8_t Address4I4O_I2C = EXPANDER_BASE_ADDRESS;

uint8_t Write4I4O(uint8_t reg, uint8_t value)
{
    return ExpanderWrite(Address4I4O_I2C, reg, value);
}

void SetupExpander4I4O(void)
{
    ExpanderSetupWrite(Write4I4O, EXPANDER_REG_IODIR, 0x0F);
    ExpanderSetupWrite(Write4I4O, EXPANDER_REG_IPOL, 0x0F);
    ExpanderSetupWrite(Write4I4O, EXPANDER_REG_GPINTEN, 0x0F);
    ExpanderSetupWrite(Write4I4O, EXPANDER_REG_IOCON, 0x24);
    ExpanderSetupWrite(Write4I4O, EXPANDER_REG_GPPU, 0x00);
}

const ExpanderBoard_t Board4I4O = {&Address4I4O_I2C, SetupExpander4I4O, OnStateChanege4I4O,
                                   HandleSettingsAddressPush4I4O, 4};

// The latch byte of records 5 to 8: bit 4 is output 5 up to bit 7 for output 8.
uint8_t OutputLatch(void)
{
    uint8_t latch = 0;
    for (int n = 5; n <= 8; n++)
    {
        if (GPIOS[n - 1].state != 0) latch |= static_cast<uint8_t>(1u << (n - 1));
    }
    return latch;
}
}

void Init_4I4O(void)
{
    BuildExpanderBoard(&Board4I4O);
    for (int n = 5; n <= 8; n++)
    {
        GpioRecord_t& record = GPIOS[n - 1];
        SetGpioRecord(n, "/output");
        record.state = 0;
        if (io_CreateOutput(record.path, IO_DATA_TYPE_BOOLEAN, "") != LE_OK) LE_INFO("Failed to create Output %d", n);
        io_SetBooleanDefault(record.path, false);
        record.pushHandlerRef = io_AddBooleanPushHandler(record.path, HandleGPIO4I4OPush, &record);
    }
}

void HandleSettingsAddressPush4I4O(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    LE_UNUSED(contextPtr);
    ExpanderAddressPush(&Board4I4O, value);
}

void OnStateChanege4I4O(bool state, void* contextPtr)
{
    LE_UNUSED(state);
    LE_UNUSED(contextPtr);
    RunExpanderInterrupt(&Board4I4O);
}

void HandleGPIO4I4OPush(double timestamp, bool value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    GpioRecord_t* record = static_cast<GpioRecord_t*>(contextPtr);
    if (record != nullptr) record->state = value ? 1 : 0;
    LE_INFO("GPIO Output State Changed.");
    Write4I4O(EXPANDER_REG_OLAT, OutputLatch());
}

void SwitchOffOutputs4I4O(void)
{
    bool built = false;
    for (int n = 5; n <= 8; n++)
    {
        built = built || GPIOS[n - 1].pushHandlerRef != nullptr;
        GPIOS[n - 1].state = 0;
    }
    if (!built) return;
    if (Write4I4O(EXPANDER_REG_OLAT, OutputLatch()) == 1) LE_INFO("Outputs 5 to 8 switched off.");
    else LE_INFO("Outputs 5 to 8 could not be switched off: the expander does not answer");
}
