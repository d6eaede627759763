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

std::mutex ChipMutex;
std::string Bus;
uint8_t Address = 0;
bool Attached = false;
double Inputs[4] = {0, 0, 0, 0};
uint8_t Config = 0x10;         // power-on: continuous, channel 1, 12 bits, x1
int32_t Output = 0;            // last conversion result
uint64_t ConversionStartUs = 0;
bool Converting = false;
bool ReadSinceResult = true;   // continuous mode: the ready bit is set again once the result was read
unsigned Conversions = 0;

uint64_t NowUs()
{
    return le_clk_NowMs() * 1000u;
}

const Resolution& CurrentResolution()
{
    return Resolutions[(Config >> 2) & 0x03];
}

int32_t Convert()
{
    const Resolution& r = CurrentResolution();
    double gain = static_cast<double>(1u << (Config & 0x03));
    double code = std::floor(Inputs[(Config >> 5) & 0x03] * gain / r.lsbVolts);
    double top = std::ldexp(1.0, static_cast<int>(r.bits) - 1);
    if (code > top - 1) code = top - 1;
    if (code < -top) code = -top;
    return static_cast<int32_t>(code);
}

void StartConversion()
{
    Converting = true;
    ConversionStartUs = NowUs();
    Conversions++;
}

// Caller holds the lock: finishes a conversion whose time has passed (in continuous mode the
// next one starts at once).
void Update()
{
    if (!Converting) return;
    // The platform clock counts whole milliseconds: a conversion ends at the first tick at or past
    // its time (5 ms at 12 bits, 67 ms at 16).
    if (NowUs() - ConversionStartUs < CurrentResolution().conversionUs) return;
    Output = Convert();
    Converting = false;
    ReadSinceResult = false;
    if (Config & 0x10) StartConversion();
}

bool Ready()
{
    return (Config & 0x10) ? !ReadSinceResult : !Converting;
}

ssize_t ChipWrite(void*, const uint8_t* data, size_t count)
{
    std::lock_guard<std::mutex> lock(ChipMutex);
    if (count == 0) return 0;   // a bare address call: acknowledged
    Update();
    Config = data[0];
    bool oneShot = !(Config & 0x10);
    if (!oneShot || (Config & 0x80)) StartConversion();
    return static_cast<ssize_t>(count);
}

ssize_t ChipRead(void*, uint8_t* data, size_t count)
{
    std::lock_guard<std::mutex> lock(ChipMutex);
    Update();
    bool eighteen = CurrentResolution().bits == 18;
    uint8_t out[4];
    size_t n = 0;
    if (eighteen) out[n++] = static_cast<uint8_t>((Output >> 16) & 0xFF);
    out[n++] = static_cast<uint8_t>((Output >> 8) & 0xFF);
    out[n++] = static_cast<uint8_t>(Output & 0xFF);
    uint8_t config = static_cast<uint8_t>((Config & 0x7F) | (Ready() ? 0x00 : 0x80));
    for (size_t i = 0; i < count; i++) data[i] = i < n ? out[i] : config;
    if (count > n && Ready()) ReadSinceResult = true;
    return static_cast<ssize_t>(count);
}
}

void simAdc_Attach(const char* busPath, uint8_t address)
{
    simAdc_Detach();
    {
        std::lock_guard<std::mutex> lock(ChipMutex);
        Bus = busPath;
        Address = address;
        Attached = true;
        Config = 0x10;
        Output = 0;
        Converting = false;
        ReadSinceResult = true;
        StartConversion();   // continuous mode after power-on
    }
    pa_i2cSim_Device_t device = {ChipWrite, ChipRead, nullptr};
    pa_i2cSim_AttachDevice(busPath, address, &device);
}

void simAdc_Detach(void)
{
    std::string bus;
    uint8_t address;
    {
        std::lock_guard<std::mutex> lock(ChipMutex);
        if (!Attached) return;
        Attached = false;
        bus = Bus;
        address = Address;
    }
    pa_i2cSim_DetachDevice(bus.c_str(), address);
}

bool simAdc_SetInput(unsigned channel, double volts)
{
    if (channel < 1 || channel > 4 || !std::isfinite(volts)) return false;
    std::lock_guard<std::mutex> lock(ChipMutex);
    Inputs[channel - 1] = volts;
    return true;
}

double simAdc_GetInput(unsigned channel)
{
    if (channel < 1 || channel > 4) return 0;
    std::lock_guard<std::mutex> lock(ChipMutex);
    return Inputs[channel - 1];
}

unsigned simAdc_ConversionCount(void)
{
    std::lock_guard<std::mutex> lock(ChipMutex);
    return Conversions;
}
