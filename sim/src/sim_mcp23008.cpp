#include "sim_mcp23008.h"
#include "pa_i2c.h"

#include <cerrno>
#include <mutex>
#include <string>

namespace
{
enum : uint8_t
{
    IODIR = 0x00,
    IPOL = 0x01,
    GPINTEN = 0x02,
    DEFVAL = 0x03,
    INTCON = 0x04,
    IOCON = 0x05,
    GPPU = 0x06,
    INTF = 0x07,
    INTCAP = 0x08,
    GPIO = 0x09,
    OLAT = 0x0A,
    RegisterCount = 0x0B
};
const uint8_t IoconSeqop = 0x20;
const uint8_t IoconOdr = 0x04;
const uint8_t IoconIntpol = 0x02;
const uint8_t IoconWritable = 0x3E;   // bits 7, 6 and 0 are not implemented and read 0

std::mutex ChipMutex;
std::string Bus;
bool Attached = false;
uint8_t Address = 0;
void (*IntChanged)(bool) = nullptr;
uint8_t Regs[RegisterCount];
uint8_t Pointer = 0;
uint8_t Outside = 0xFF;      // levels put on the lines from outside
uint8_t Reference = 0xFF;    // line levels the previous-value comparison is made against
bool IntActive = false;
bool IntLevel = true;
unsigned Interrupts = 0;

// The level every line carries: outputs drive their latch bit.
uint8_t Lines()
{
    return static_cast<uint8_t>((Outside & Regs[IODIR]) | (Regs[OLAT] & ~Regs[IODIR]));
}

uint8_t PortValue()
{
    return static_cast<uint8_t>(Lines() ^ (Regs[IPOL] & Regs[IODIR]));
}

void UpdateIntPin()
{
    bool level;
    if (Regs[IOCON] & IoconOdr) level = !IntActive;   // open drain: pulled low while active
    else level = (Regs[IOCON] & IoconIntpol) ? IntActive : !IntActive;
    if (level == IntLevel) return;
    IntLevel = level;
    if (IntChanged) IntChanged(level);
}

void Evaluate()
{
    if (!IntActive)
    {
        uint8_t lines = Lines();
        uint8_t compare = static_cast<uint8_t>((Regs[INTCON] & Regs[DEFVAL]) | (~Regs[INTCON] & Reference));
        uint8_t pending = static_cast<uint8_t>(Regs[GPINTEN] & Regs[IODIR] & (lines ^ compare));
        if (pending != 0)
        {
            IntActive = true;
            Regs[INTF] = pending;
            Regs[INTCAP] = PortValue();
            Interrupts++;
        }
        else
        {
            Reference = lines;
        }
    }
    UpdateIntPin();
}

void ClearInterrupt(uint8_t reference)
{
    IntActive = false;
    Regs[INTF] = 0;
    Reference = reference;
}

void WriteRegister(uint8_t reg, uint8_t value)
{
    switch (reg)
    {
        case INTF:
        case INTCAP:
            return;   // read-only
        case GPIO:
            reg = OLAT;
            break;
        case IOCON:
            value &= IoconWritable;
            break;
        case GPINTEN:
            // A line starts to be watched from its present level.
            Reference = static_cast<uint8_t>((Reference & Regs[GPINTEN]) | (Lines() & ~Regs[GPINTEN]));
            break;
        default:
            break;
    }
    Regs[reg] = value;
    Evaluate();
}

uint8_t ReadRegister(uint8_t reg)
{
    uint8_t value = reg == GPIO ? PortValue() : Regs[reg];
    if (reg == GPIO)
    {
        ClearInterrupt(Lines());
        Evaluate();
    }
    else if (reg == INTCAP && IntActive)
    {
        // A line that changed again since the capture raises the next interrupt at once.
        ClearInterrupt(static_cast<uint8_t>(Regs[INTCAP] ^ (Regs[IPOL] & Regs[IODIR])));
        Evaluate();
    }
    return value;
}

void Advance()
{
    if (Regs[IOCON] & IoconSeqop) return;
    Pointer = static_cast<uint8_t>(Pointer == OLAT ? 0 : Pointer + 1);
}

ssize_t ChipWrite(void*, const uint8_t* data, size_t count)
{
    std::lock_guard<std::mutex> lock(ChipMutex);
    if (count == 0) return 0;
    if (data[0] >= RegisterCount)
    {
        errno = EIO;
        return -1;
    }
    Pointer = data[0];
    for (size_t i = 1; i < count; i++)
    {
        WriteRegister(Pointer, data[i]);
        Advance();
    }
    return static_cast<ssize_t>(count);
}

ssize_t ChipRead(void*, uint8_t* data, size_t count)
{
    std::lock_guard<std::mutex> lock(ChipMutex);
    for (size_t i = 0; i < count; i++)
    {
        data[i] = ReadRegister(Pointer);
        Advance();
    }
    return static_cast<ssize_t>(count);
}

void PowerOn()
{
    for (uint8_t& r : Regs) r = 0;
    Regs[IODIR] = 0xFF;
    Pointer = 0;
    Reference = Lines();
    IntActive = false;
    IntLevel = true;
    Interrupts = 0;
}
}

void simMcp23008_Attach(const char* busPath, uint8_t address, void (*intChanged)(bool level))
{
    simMcp23008_Detach();
    {
        std::lock_guard<std::mutex> lock(ChipMutex);
        Bus = busPath;
        Address = address;
        IntChanged = intChanged;
        PowerOn();
        Attached = true;
        if (IntChanged) IntChanged(IntLevel);
    }
    pa_i2cSim_Device_t device = {ChipWrite, ChipRead, nullptr};
    pa_i2cSim_AttachDevice(busPath, address, &device);
}

void simMcp23008_Detach(void)
{
    std::string bus;
    uint8_t address;
    {
        std::lock_guard<std::mutex> lock(ChipMutex);
        if (!Attached) return;
        Attached = false;
        bus = Bus;
        address = Address;
        // Unplugged: nothing pulls the interrupt line any more.
        if (IntChanged && !IntLevel) IntChanged(true);
        IntChanged = nullptr;
    }
    pa_i2cSim_DetachDevice(bus.c_str(), address);
}

bool simMcp23008_Attached(void)
{
    std::lock_guard<std::mutex> lock(ChipMutex);
    return Attached;
}

bool simMcp23008_SetLine(unsigned line, bool level)
{
    if (line > 7) return false;
    std::lock_guard<std::mutex> lock(ChipMutex);
    uint8_t bit = static_cast<uint8_t>(1u << line);
    Outside = static_cast<uint8_t>(level ? (Outside | bit) : (Outside & ~bit));
    if (Attached) Evaluate();
    return true;
}

bool simMcp23008_Line(unsigned line)
{
    if (line > 7) return false;
    std::lock_guard<std::mutex> lock(ChipMutex);
    return (Lines() >> line) & 1;
}

uint8_t simMcp23008_Register(uint8_t reg)
{
    std::lock_guard<std::mutex> lock(ChipMutex);
    if (reg >= RegisterCount) return 0;
    return reg == GPIO ? PortValue() : Regs[reg];
}

bool simMcp23008_IntLevel(void)
{
    std::lock_guard<std::mutex> lock(ChipMutex);
    return IntLevel;
}

unsigned simMcp23008_InterruptCount(void)
{
    std::lock_guard<std::mutex> lock(ChipMutex);
    return Interrupts;
}
