#include "sim_adc.h"
#include "le_clock.h"
#include "pa_i2c.h"

#include <cerrno>
#include <cmath>
#include <mutex>
#include <string>

namespace
{
struct Resolution
{
    unsigned bits;
    double lsbVolts;
    uint64_t conversionUs;   // 1 / samples per second
};

const Resolution Resolutions[4] = {{12, 1e-3, 4167}, {14, 250e-6, 16667}, {16, 62.5e-6, 66667}, {18, 15.625e-6, 266667}};

struct Chip
{
    std::mutex mutex;
    std::string bus;
    uint8_t address = 0;
    bool attached = false;
    unsigned inputs = 4;          // channels wired; the others read 0 V
    double volts[4] = {0, 0, 0, 0};
    uint8_t config = 0x10;        // power-on: continuous, channel 1, 12 bits, x1
    int32_t output = 0;           // last conversion result
    uint64_t conversionStartUs = 0;
    bool converting = false;
    bool readSinceResult = true;  // continuous mode: the ready bit is set again once the result was read
    unsigned conversions = 0;
};

Chip Chips[2];

uint64_t NowUs()
{
    return le_clk_NowMs() * 1000u;
}

const Resolution& CurrentResolution(const Chip& c)
{
    return Resolutions[(c.config >> 2) & 0x03];
}

int32_t Convert(const Chip& c)
{
    const Resolution& r = CurrentResolution(c);
    double gain = static_cast<double>(1u << (c.config & 0x03));
    unsigned channel = (c.config >> 5) & 0x03;
    double input = channel < c.inputs ? c.volts[channel] : 0.0;
    double code = std::round(input * gain / r.lsbVolts);   // the nearest code, as an ideal converter
    double top = std::ldexp(1.0, static_cast<int>(r.bits) - 1);
    if (code > top - 1) code = top - 1;
    if (code < -top) code = -top;
    return static_cast<int32_t>(code);
}

void StartConversion(Chip& c)
{
    c.converting = true;
    c.conversionStartUs = NowUs();
    c.conversions++;
}

// Caller holds the lock: finishes a conversion whose time has passed (in continuous mode the
// next one starts at once).
void Update(Chip& c)
{
    if (!c.converting) return;
    // The platform clock counts whole milliseconds: a conversion ends at the first tick at or past
    // its time (5 ms at 12 bits, 67 ms at 16).
    if (NowUs() - c.conversionStartUs < CurrentResolution(c).conversionUs) return;
    c.output = Convert(c);
    c.converting = false;
    c.readSinceResult = false;
    if (c.config & 0x10) StartConversion(c);
}

bool Ready(const Chip& c)
{
    return (c.config & 0x10) ? !c.readSinceResult : !c.converting;
}

ssize_t ChipWrite(void* ctx, const uint8_t* data, size_t count)
{
    Chip& c = *static_cast<Chip*>(ctx);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (count == 0) return 0;   // a bare address call: acknowledged
    Update(c);
    c.config = data[0];
    bool oneShot = !(c.config & 0x10);
    if (!oneShot || (c.config & 0x80)) StartConversion(c);
    return static_cast<ssize_t>(count);
}

ssize_t ChipRead(void* ctx, uint8_t* data, size_t count)
{
    Chip& c = *static_cast<Chip*>(ctx);
    std::lock_guard<std::mutex> lock(c.mutex);
    Update(c);
    bool eighteen = CurrentResolution(c).bits == 18;
    uint8_t out[4];
    size_t n = 0;
    if (eighteen) out[n++] = static_cast<uint8_t>((c.output >> 16) & 0xFF);
    out[n++] = static_cast<uint8_t>((c.output >> 8) & 0xFF);
    out[n++] = static_cast<uint8_t>(c.output & 0xFF);
    uint8_t config = static_cast<uint8_t>((c.config & 0x7F) | (Ready(c) ? 0x00 : 0x80));
    for (size_t i = 0; i < count; i++) data[i] = i < n ? out[i] : config;
    if (count > n && Ready(c)) c.readSinceResult = true;
    return static_cast<ssize_t>(count);
}

Chip* UnitChip(unsigned unit)
{
    return unit < 2 ? &Chips[unit] : nullptr;
}
}

void simAdc_AttachUnit(unsigned unit, const char* busPath, uint8_t address, unsigned inputs, bool shareAddress)
{
    Chip* c = UnitChip(unit);
    if (c == nullptr) return;
    simAdc_DetachUnit(unit);
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->bus = busPath;
        c->address = address;
        c->attached = true;
        c->inputs = inputs < 4 ? inputs : 4;
        c->config = 0x10;
        c->output = 0;
        c->converting = false;
        c->readSinceResult = true;
        StartConversion(*c);   // continuous mode after power-on
    }
    pa_i2cSim_Device_t device = {ChipWrite, ChipRead, c};
    if (shareAddress) pa_i2cSim_ShareAddress(busPath, address, &device);
    else pa_i2cSim_AttachDevice(busPath, address, &device);
}

void simAdc_DetachUnit(unsigned unit)
{
    Chip* c = UnitChip(unit);
    if (c == nullptr) return;
    std::string bus;
    uint8_t address;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        if (!c->attached) return;
        c->attached = false;
        bus = c->bus;
        address = c->address;
    }
    pa_i2cSim_DetachDeviceOf(bus.c_str(), address, c);
}

bool simAdc_SetUnitInput(unsigned unit, unsigned channel, double volts)
{
    Chip* c = UnitChip(unit);
    if (c == nullptr || channel < 1 || channel > 4 || !std::isfinite(volts)) return false;
    std::lock_guard<std::mutex> lock(c->mutex);
    c->volts[channel - 1] = volts;
    return true;
}

double simAdc_GetUnitInput(unsigned unit, unsigned channel)
{
    Chip* c = UnitChip(unit);
    if (c == nullptr || channel < 1 || channel > 4) return 0;
    std::lock_guard<std::mutex> lock(c->mutex);
    return c->volts[channel - 1];
}

unsigned simAdc_UnitConversionCount(unsigned unit)
{
    Chip* c = UnitChip(unit);
    if (c == nullptr) return 0;
    std::lock_guard<std::mutex> lock(c->mutex);
    return c->conversions;
}

void simAdc_Attach(const char* busPath, uint8_t address)
{
    simAdc_AttachUnit(SIM_ADC_BASE, busPath, address, 4, false);
}

void simAdc_Detach(void)
{
    simAdc_DetachUnit(SIM_ADC_BASE);
}

bool simAdc_SetInput(unsigned channel, double volts)
{
    return simAdc_SetUnitInput(SIM_ADC_BASE, channel, volts);
}

double simAdc_GetInput(unsigned channel)
{
    return simAdc_GetUnitInput(SIM_ADC_BASE, channel);
}

unsigned simAdc_ConversionCount(void)
{
    return simAdc_UnitConversionCount(SIM_ADC_BASE);
}
