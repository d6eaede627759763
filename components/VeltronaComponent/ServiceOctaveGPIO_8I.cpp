#include "ServiceOctaveGPIO_8I.h"
#include "BusProbe.h"
#include "ServiceOctaveGPIO.h"

#include <cmath>
#include <fcntl.h>

namespace
{
const char* const ExpanderBusPath = "/dev/i2c-5";

uint8_t Address_I2C = EXPANDER_BASE_ADDRESS;

uint8_t Read(uint8_t reg)
{
    return ExpanderRead(Address_I2C, reg);
}

uint8_t Write(uint8_t reg, uint8_t value)
{
    return ExpanderWrite(Address_I2C, reg, value);
}

void SetupExpander(void)
{
    ExpanderSetupWrite(Write, EXPANDER_REG_IPOL, 0xFF);
    ExpanderSetupWrite(Write, EXPANDER_REG_GPINTEN, 0xFF);
    ExpanderSetupWrite(Write, EXPANDER_REG_IOCON, 0x24);
    ExpanderSetupWrite(Write, EXPANDER_REG_GPPU, 0x00);
}

const ExpanderBoard_t Board8I = {&Address_I2C, SetupExpander, Read, OnStateChanege8I, HandleSettingsAddressPush, 8};
}

uint8_t ExpanderRead(uint8_t address, uint8_t reg)
{
    int fd = pa_i2c_Open(ExpanderBusPath, O_RDWR);
    if (fd < 0) return 0;
    uint8_t probe = 0;
    ProbeBus(fd, &probe);
    if (pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, address) < 0)
    {
        LE_INFO("I2C BUS not presented");
        RebootModule("I2C BUS not presented");
        pa_i2c_Close(fd);
        return 0;
    }
    uint8_t result = 0;
    if (pa_i2c_Write(fd, &reg, 1) == 1)
    {
        uint8_t value = 0;
        if (pa_i2c_Read(fd, &value, 1) == 1)
        {
            LE_INFO("Read OK.");
            result = value;
        }
        else
        {
            LE_INFO("Read Failed.");
        }
    }
    pa_i2c_Close(fd);
    return result;
}

uint8_t ExpanderWrite(uint8_t address, uint8_t reg, uint8_t value)
{
    int fd = pa_i2c_Open(ExpanderBusPath, O_RDWR);
    if (fd < 0)
    {
        LE_INFO("I2C BUS not presented");
        RebootModule("I2C BUS not presented");
        return 0;
    }
    uint8_t probe = 0;
    ProbeBus(fd, &probe);
    if (pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, address) < 0)
    {
        pa_i2c_Close(fd);
        return 0;
    }
    const uint8_t data[2] = {reg, value};
    uint8_t result = pa_i2c_Write(fd, data, sizeof(data)) == 2 ? 1 : 0;
    pa_i2c_Close(fd);
    return result;
}

void ExpanderSetupWrite(uint8_t (*write)(uint8_t reg, uint8_t value), uint8_t reg, uint8_t value)
{
    if (write(reg, value) == 1) LE_INFO("0x%02X Setup.", reg);
    else LE_INFO("0x%02X Failed.", reg);
}

void ExpanderAddressPush(double value, uint8_t* addressPtr)
{
    double number = std::trunc(value);
    // 0 to 3 pick one of the four addresses the board's jumpers offer; NaN compares false.
    if (number >= 0 && number <= 3) *addressPtr = static_cast<uint8_t>(EXPANDER_BASE_ADDRESS + number);
}

void BuildExpanderBoard(const ExpanderBoard_t* board)
{
    le_gpioPin8_TryConnectService();
    le_gpioPin8_SetInput(LE_GPIOPIN8_ACTIVE_HIGH);

    *board->addressPtr = EXPANDER_BASE_ADDRESS;
    board->setup();

    GPIOS[3].changeHandlerRef = le_gpioPin8_AddChangeEventHandler(LE_GPIOPIN8_EDGE_BOTH, board->onInterrupt, nullptr, 0);

    uint8_t port = board->read(EXPANDER_REG_GPIO);

    if (io_CreateOutput("addon/i2c_address", IO_DATA_TYPE_NUMERIC, "") == LE_OK)
        io_SetNumericDefault("addon/i2c_address", 0);
    else
        LE_INFO("Failed to create I2C Address");
    AddressHandlerGPIO_I2C = io_AddNumericPushHandler("addon/i2c_address", board->onAddress, nullptr);

    for (int n = 1; n <= board->inputs; n++)
    {
        GpioRecord_t& record = GPIOS[n - 1];
        SetGpioRecord(n, "/input");
        if (io_CreateInput(record.path, IO_DATA_TYPE_BOOLEAN, "") == LE_OK)
            io_SetBooleanDefault(record.path, false);
        else
            LE_INFO("Failed to create Data Hub Input GPIO");
        uint8_t bit = (port >> (n - 1)) & 1;
        io_PushBoolean(record.path, 0, bit != 0);
        record.state = bit;
    }
}

void RunExpanderInterrupt(const ExpanderBoard_t* board)
{
    uint8_t pending = 1;
    // A chip that never clears its flags would hold the loop for ever; the next edge resumes.
    for (int pass = 0; pending != 0 && pass < EXPANDER_MAX_PASSES; pass++)
    {
        LE_INFO("GPIO Fired!!!");
        uint8_t port = board->read(EXPANDER_REG_GPIO);
        for (int n = 1; n <= board->inputs; n++)
        {
            GpioRecord_t& record = GPIOS[n - 1];
            uint8_t bit = (port >> (n - 1)) & 1;
            if (bit == record.state) continue;
            record.state = bit;
            io_PushBoolean(record.path, 0, bit != 0);
            LE_INFO("Gpio %d - value:%d", n, bit);
        }
        pending = board->read(EXPANDER_REG_INTF);
    }
    if (pending != 0) LE_INFO("Interrupt flags still set after %d passes", EXPANDER_MAX_PASSES);
}

void Init_8Inputs(void)
{
    BuildExpanderBoard(&Board8I);
}

void HandleSettingsAddressPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    LE_UNUSED(contextPtr);
    ExpanderAddressPush(value, &Address_I2C);
    SetupExpander();
}

void OnStateChanege8I(bool state, void* contextPtr)
{
    LE_UNUSED(state);
    LE_UNUSED(contextPtr);
    RunExpanderInterrupt(&Board8I);
}
