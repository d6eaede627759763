#include "ServiceOctaveGPIO_8I.h"
#include "BusProbe.h"
#include "ServiceOctaveGPIO.h"

#include <cmath>
#include <fcntl.h>

namespace
{
const char* const ExpanderBusPath = "/dev/i2c-5";

uint8_t Address_I2C = EXPANDER_BASE_ADDRESS;

uint8_t Write(uint8_t reg, uint8_t value)
{
    return ExpanderWrite(Address_I2C, reg, value);
}

void SetupExpander(void)
{
    // Every line an input: a board that was set up as another type may have left lines driven.
    ExpanderSetupWrite(Write, EXPANDER_REG_IODIR, 0xFF);
    ExpanderSetupWrite(Write, EXPANDER_REG_IPOL, 0xFF);
    ExpanderSetupWrite(Write, EXPANDER_REG_GPINTEN, 0xFF);
    ExpanderSetupWrite(Write, EXPANDER_REG_IOCON, 0x24);
    ExpanderSetupWrite(Write, EXPANDER_REG_GPPU, 0x00);
}

const ExpanderBoard_t Board8I = {&Address_I2C, SetupExpander, OnStateChanege8I, HandleSettingsAddressPush, 8};

// Reads the port and pushes each input whose level differs from its state; false, pushing
// nothing, when the read fails.
bool RefreshInputs(const ExpanderBoard_t* board)
{
    uint8_t port = 0;
    if (!ExpanderRead(*board->addressPtr, EXPANDER_REG_GPIO, &port)) return false;
    for (int n = 1; n <= board->inputs; n++)
    {
        GpioRecord_t& record = GPIOS[n - 1];
        uint8_t bit = (port >> (n - 1)) & 1;
        if (bit == record.state) continue;
        record.state = bit;
        io_PushBoolean(record.path, 0, bit != 0);
        LE_INFO("Gpio %d - value:%d", n, bit);
    }
    return true;
}

// The interrupt output is open-drain and active low.
bool InterruptHeld(void)
{
    return !le_gpioPin8_Read();
}
}

bool ExpanderRead(uint8_t address, uint8_t reg, uint8_t* value)
{
    int fd = pa_i2c_Open(ExpanderBusPath, O_RDWR);
    if (fd < 0) return false;
    uint8_t probe = 0;
    ProbeBus(fd, &probe);
    if (pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, address) < 0)
    {
        LE_INFO("I2C BUS not presented");
        RebootModule("I2C BUS not presented");
        pa_i2c_Close(fd);
        return false;
    }
    bool read = false;
    if (pa_i2c_Write(fd, &reg, 1) == 1)
    {
        if (pa_i2c_Read(fd, value, 1) == 1)
        {
            LE_INFO("Read OK.");
            read = true;
        }
        else
        {
            LE_INFO("Read Failed.");
        }
    }
    pa_i2c_Close(fd);
    return read;
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

void ExpanderAddressPush(const ExpanderBoard_t* board, double value)
{
    double number = std::trunc(value);
    // 0 to 3 pick one of the four addresses the board's jumpers offer; NaN compares false.
    if (number >= 0 && number <= 3) *board->addressPtr = static_cast<uint8_t>(EXPANDER_BASE_ADDRESS + number);
    board->setup();
    RefreshInputs(board);
}

void BuildExpanderBoard(const ExpanderBoard_t* board)
{
    le_gpioPin8_TryConnectService();
    le_gpioPin8_SetInput(LE_GPIOPIN8_ACTIVE_HIGH);

    *board->addressPtr = EXPANDER_BASE_ADDRESS;
    board->setup();

    GPIOS[3].changeHandlerRef = le_gpioPin8_AddChangeEventHandler(LE_GPIOPIN8_EDGE_BOTH, board->onInterrupt, nullptr, 0);

    uint8_t port = 0;
    bool portRead = ExpanderRead(*board->addressPtr, EXPANDER_REG_GPIO, &port);

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
        // A port that could not be read says nothing about the inputs: they keep their default
        // until a read succeeds.
        uint8_t bit = portRead ? (port >> (n - 1)) & 1 : 0;
        if (portRead) io_PushBoolean(record.path, 0, bit != 0);
        record.state = bit;
    }
}

void RunExpanderInterrupt(const ExpanderBoard_t* board)
{
    // A chip that never clears its flags, or a line held low, would hold the loop for ever; the
    // next edge resumes.
    bool flagsSet = false;
    for (int pass = 0; pass < EXPANDER_MAX_PASSES; pass++)
    {
        LE_INFO("GPIO Fired!!!");
        bool portRead = RefreshInputs(board);
        uint8_t pending = 0;
        bool flagsRead = ExpanderRead(*board->addressPtr, EXPANDER_REG_INTF, &pending);
        flagsSet = flagsRead && pending != 0;
        if (flagsSet) continue;
        if (!portRead && !flagsRead)
        {
            LE_INFO("Expander at 0x%02X does not answer: its inputs are read again at the next edge or address "
                    "change",
                    *board->addressPtr);
            return;
        }
        // Only a read of the port releases the line: while it is held no further edge comes.
        if (!InterruptHeld()) return;
    }
    if (flagsSet) LE_INFO("Interrupt flags still set after %d passes", EXPANDER_MAX_PASSES);
    else LE_INFO("Interrupt line still held after %d passes", EXPANDER_MAX_PASSES);
}

void Init_8Inputs(void)
{
    BuildExpanderBoard(&Board8I);
}

void HandleSettingsAddressPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    LE_UNUSED(contextPtr);
    ExpanderAddressPush(&Board8I, value);
}

void OnStateChanege8I(bool state, void* contextPtr)
{
    LE_UNUSED(state);
    LE_UNUSED(contextPtr);
    RunExpanderInterrupt(&Board8I);
}
