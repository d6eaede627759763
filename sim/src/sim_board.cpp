#include "sim_board.h"
#include "le_gpio.h"
#include "le_log.h"
#include "pa_i2c.h"
#include "pa_service.h"
#include "sim_adc.h"
#include "sim_mcp23008.h"
#include "sim_modbus.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace
{
const uint16_t SignatureAddress = 0x0004;
const uint16_t NameAddress = 0x0024;
const size_t BlockSize = 32;

enum class AddOnBoard
{
    None,
    Inputs8,
    Inputs4Outputs4,
    Converter2
};

struct AddOnBoardName
{
    AddOnBoard board;
    const char* name;
    unsigned defaultAddress;
};

const AddOnBoardName AddOnBoards[] = {
    {AddOnBoard::None, "none", 0},
    {AddOnBoard::Inputs8, "8i", SIM_ADDON_EXPANDER_ADDRESS},
    {AddOnBoard::Inputs4Outputs4, "4i4o", SIM_ADDON_EXPANDER_ADDRESS},
    {AddOnBoard::Converter2, "uc2i", SIM_ADDON_CONVERTER_ADDRESS},
};

const int GpioPins[4] = {42, 33, 13, 8};

struct Scenario
{
    bool eepromPresent = true;
    bool eepromShortReads = false;
    bool eepromBus = true;
    bool expanderBus = true;
    bool expanderPresent = true;
    bool probePresent = true;
    bool esp3Present = true;
    unsigned esp3PeriodMs = 1000;
    bool modbusPresent = true;
    unsigned modbusAddress = 1;
    bool adcPresent = false;
    unsigned adcAddress = 0x6C;
    double adcInputs[4] = {1.2, 0.4, 2.0, 0.8};
    bool gpioLevels[4] = {true, true, true, true};   // pins 42, 33, 13 and 8
    AddOnBoard addonBoard = AddOnBoard::None;
    unsigned addonAddress = 0;                       // 0: the board's default
    bool addonInputs[8] = {true, true, true, true, true, true, true, true};
    double addonAdcInputs[2] = {1.0, 0.5};
    std::map<unsigned, uint16_t> modbusRegisters;   // changed from the slave's initial map
    std::map<unsigned, bool> modbusCoils;
    uint8_t eeprom[SIM_EEPROM_SIZE];
    std::vector<std::pair<std::string, bool>> services;
};

std::mutex SimMutex;
Scenario Current;
bool Installed = false;   // the scenario's devices are in place: the program runs
bool ModbusLoaded = false; // the running slave carries the scenario's map
uint16_t EepromPointer = 0;
uint8_t ExpanderPointer = 0;
uint8_t ExpanderRegisters[256];
std::vector<std::pair<uint8_t, uint8_t>> ExpanderWrites;

void Fail(char* errBuf, size_t errSize, const std::string& message)
{
    if (errBuf && errSize) snprintf(errBuf, errSize, "%s", message.c_str());
}

void PutText(uint16_t address, const char* text)
{
    // A 32-byte block: the text, zero-padded (cut at 32 bytes).
    memset(Current.eeprom + address, 0, BlockSize);
    memcpy(Current.eeprom + address, text, strnlen(text, BlockSize));
}

void Reset()
{
    Current = Scenario();
    memset(Current.eeprom, 0xFF, sizeof(Current.eeprom));
}

bool ParseBool(const std::string& v, bool* out)
{
    if (v == "yes" || v == "true" || v == "present" || v == "1" || v == "available") *out = true;
    else if (v == "no" || v == "false" || v == "missing" || v == "0" || v == "unavailable") *out = false;
    else return false;
    return true;
}

std::string Trim(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

//--------------------------------------------------------------------------------------------------
// Module pins. Pin 8 also carries the add-on expander's INT output: the two are wired together, so
// the pin is low while either pulls it low.
//--------------------------------------------------------------------------------------------------
std::mutex Pin8Mutex;
bool Pin8Outside = true;   // under Pin8Mutex
bool Pin8Int = true;

void DrivePin8()
{
    pa_gpioSim_SetInputLevel(8, Pin8Outside && Pin8Int);
}

void OnAddOnInt(bool level)
{
    std::lock_guard<std::mutex> lock(Pin8Mutex);
    Pin8Int = level;
    DrivePin8();
}

void PutOnPin(int pin, bool level)
{
    if (pin != 8)
    {
        pa_gpioSim_SetInputLevel(pin, level);
        return;
    }
    std::lock_guard<std::mutex> lock(Pin8Mutex);
    Pin8Outside = level;
    DrivePin8();
}

// "modbus.reg.N" (holding register 0 to 127) or "modbus.coil.N" (coil 0 to 63).
bool ModbusKey(const std::string& key, bool* isRegisterPtr, unsigned* numberPtr)
{
    unsigned n = 0;
    if (sscanf(key.c_str(), "modbus.reg.%u", &n) == 1 && key == "modbus.reg." + std::to_string(n) &&
        n < SIM_MODBUS_REGISTERS)
    {
        *isRegisterPtr = true;
        *numberPtr = n;
        return true;
    }
    if (sscanf(key.c_str(), "modbus.coil.%u", &n) == 1 && key == "modbus.coil." + std::to_string(n) &&
        n < SIM_MODBUS_COILS)
    {
        *isRegisterPtr = false;
        *numberPtr = n;
        return true;
    }
    return false;
}

// A register or coil as the slave holds it while it runs (the binding's writes included), else as
// the scenario starts it.
std::string ModbusValue(const Scenario& s, bool isRegister, unsigned n)
{
    if (isRegister)
    {
        if (ModbusLoaded) return std::to_string(simModbus_Register(static_cast<uint16_t>(n)));
        auto it = s.modbusRegisters.find(n);
        return std::to_string(it != s.modbusRegisters.end() ? it->second
                                                            : simModbus_InitialRegister(static_cast<uint16_t>(n)));
    }
    if (ModbusLoaded) return simModbus_Coil(static_cast<uint16_t>(n)) ? "1" : "0";
    auto it = s.modbusCoils.find(n);
    return it != s.modbusCoils.end() && it->second ? "1" : "0";
}

const AddOnBoardName& BoardName(AddOnBoard board)
{
    for (const AddOnBoardName& b : AddOnBoards)
    {
        if (b.board == board) return b;
    }
    return AddOnBoards[0];
}

unsigned AddOnAddress(const Scenario& s)
{
    return s.addonAddress != 0 ? s.addonAddress : BoardName(s.addonBoard).defaultAddress;
}

bool IsExpander(AddOnBoard board)
{
    return board == AddOnBoard::Inputs8 || board == AddOnBoard::Inputs4Outputs4;
}

// The addresses the board's chip can take: A2 to A0 of the MCP23008, or of the converter.
bool AddressFits(AddOnBoard board, unsigned address)
{
    if (IsExpander(board)) return address >= 0x20 && address <= 0x27;
    if (board == AddOnBoard::Converter2) return address >= 0x68 && address <= 0x6F;
    return (address >= 0x20 && address <= 0x27) || (address >= 0x68 && address <= 0x6F);
}

std::string Hex(unsigned value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%02X", value);
    return text;
}

//--------------------------------------------------------------------------------------------------
// Devices
//--------------------------------------------------------------------------------------------------
ssize_t EepromWrite(void*, const uint8_t* data, size_t count)
{
    std::lock_guard<std::mutex> lock(SimMutex);
    if (count < 2)
    {
        errno = EIO;
        return -1;
    }
    EepromPointer = static_cast<uint16_t>(((data[0] << 8) | data[1]) % SIM_EEPROM_SIZE);
    for (size_t i = 2; i < count; i++)
    {
        Current.eeprom[EepromPointer] = data[i];
        EepromPointer = static_cast<uint16_t>((EepromPointer + 1) % SIM_EEPROM_SIZE);
    }
    return static_cast<ssize_t>(count);
}

ssize_t EepromRead(void*, uint8_t* data, size_t count)
{
    std::lock_guard<std::mutex> lock(SimMutex);
    size_t n = Current.eepromShortReads ? count / 2 : count;
    for (size_t i = 0; i < n; i++)
    {
        data[i] = Current.eeprom[EepromPointer];
        EepromPointer = static_cast<uint16_t>((EepromPointer + 1) % SIM_EEPROM_SIZE);
    }
    return static_cast<ssize_t>(n);
}

ssize_t ExpanderWrite(void*, const uint8_t* data, size_t count)
{
    std::lock_guard<std::mutex> lock(SimMutex);
    if (count == 0)
    {
        errno = EIO;
        return -1;
    }
    ExpanderPointer = data[0];
    for (size_t i = 1; i < count; i++)
    {
        ExpanderRegisters[ExpanderPointer] = data[i];
        ExpanderWrites.emplace_back(ExpanderPointer, data[i]);
        ExpanderPointer++;
    }
    return static_cast<ssize_t>(count);
}

ssize_t ExpanderRead(void*, uint8_t* data, size_t count)
{
    std::lock_guard<std::mutex> lock(SimMutex);
    for (size_t i = 0; i < count; i++) data[i] = ExpanderRegisters[ExpanderPointer++];
    return static_cast<ssize_t>(count);
}

ssize_t ProbeWrite(void*, const uint8_t*, size_t count)
{
    return static_cast<ssize_t>(count);
}

ssize_t ProbeRead(void*, uint8_t* data, size_t count)
{
    memset(data, 0, count);
    return static_cast<ssize_t>(count);
}

// The converter boards carry the chip at 68h, where the converter looks once its address setting
// takes its default (index 0).
void FitConverter(Scenario* s)
{
    s->adcPresent = true;
    s->adcAddress = 0x68;
}

struct Preset
{
    const char* name;
    const char* signature;   // NULL: block left erased
    const char* boardName;
    void (*tweak)(Scenario*);
};

const Preset Presets[] = {
    {"gateway", "VELTRONA made in Poland", "Wavelet gateway", nullptr},
    {"converter", "VELTRONA made in Poland", "Analog Front Module 4i", FitConverter},
    {"basalt", "VELTRONA made in Poland", "BasaltBoard++", FitConverter},
    {"addon", "VELTRONA made in Poland", "Add-on carrier", nullptr},
    {"none", nullptr, nullptr, nullptr},
    {"absent", nullptr, nullptr, [](Scenario* s) { s->eepromPresent = false; }},
    {"unreadable", nullptr, nullptr, [](Scenario* s) { s->eepromBus = false; }},
};
}

const char* simBoard_PresetNames(void)
{
    return "gateway, converter, basalt, addon, none, absent, unreadable";
}

bool simBoard_LoadPreset(const char* name, char* errBuf, size_t errSize)
{
    for (const Preset& p : Presets)
    {
        if (strcmp(p.name, name) != 0) continue;
        std::lock_guard<std::mutex> lock(SimMutex);
        Reset();
        if (p.signature) PutText(SignatureAddress, p.signature);
        if (p.boardName) PutText(NameAddress, p.boardName);
        if (p.tweak) p.tweak(&Current);
        return true;
    }
    Fail(errBuf, errSize, std::string("unknown scenario '") + name + "' (known: " + simBoard_PresetNames() + ")");
    return false;
}

bool simBoard_Set(const char* keyText, const char* valueText, char* errBuf, size_t errSize)
{
    std::string key = Trim(keyText);
    std::string value = Trim(valueText);
    bool flag;
    if (key == "board") return simBoard_LoadPreset(value.c_str(), errBuf, errSize);
    std::lock_guard<std::mutex> lock(SimMutex);
    if (key == "eeprom.signature")
    {
        PutText(SignatureAddress, value.c_str());
        return true;
    }
    if (key == "eeprom.name")
    {
        PutText(NameAddress, value.c_str());
        return true;
    }
    if (key.compare(0, 10, "eeprom.at.") == 0)
    {
        char* end = nullptr;
        unsigned long address = strtoul(key.c_str() + 10, &end, 0);
        if (end == key.c_str() + 10 || *end != '\0' || address >= SIM_EEPROM_SIZE)
        {
            Fail(errBuf, errSize, "bad EEPROM address in '" + key + "'");
            return false;
        }
        const char* p = value.c_str();
        for (;;)
        {
            while (isspace(static_cast<unsigned char>(*p))) p++;
            if (*p == '\0') break;
            unsigned long byte = strtoul(p, &end, 16);
            if (end == p || byte > 0xFF || address >= SIM_EEPROM_SIZE)
            {
                Fail(errBuf, errSize, "bad hex bytes for '" + key + "': " + value);
                return false;
            }
            Current.eeprom[address++] = static_cast<uint8_t>(byte);
            p = end;
        }
        return true;
    }
    struct BoolKey
    {
        const char* name;
        bool Scenario::*field;
    };
    static const BoolKey boolKeys[] = {
        {"eeprom.present", &Scenario::eepromPresent},   {"eeprom.short_reads", &Scenario::eepromShortReads},
        {"bus.i2c-5", &Scenario::eepromBus},            {"bus.i2c-8", &Scenario::expanderBus},
        {"expander.present", &Scenario::expanderPresent}, {"probe.present", &Scenario::probePresent},
        {"esp3.present", &Scenario::esp3Present},       {"modbus.present", &Scenario::modbusPresent},
        {"adc.present", &Scenario::adcPresent},
    };
    for (const BoolKey& k : boolKeys)
    {
        if (key == k.name)
        {
            if (!ParseBool(value, &flag))
            {
                Fail(errBuf, errSize, "'" + key + "' takes yes or no, not '" + value + "'");
                return false;
            }
            Current.*(k.field) = flag;
            return true;
        }
    }
    struct NumberKey
    {
        const char* name;
        unsigned Scenario::*field;
        unsigned low, high;
        const char* unit;
    };
    static const NumberKey numberKeys[] = {
        {"esp3.period_ms", &Scenario::esp3PeriodMs, 0, 3600000, "milliseconds"},
        {"modbus.address", &Scenario::modbusAddress, 1, 247, "a slave address"},
    };
    for (const NumberKey& k : numberKeys)
    {
        if (key != k.name) continue;
        char* end = nullptr;
        unsigned long number = strtoul(value.c_str(), &end, 10);
        if (value.empty() || value[0] == '-' || *end != '\0' || number < k.low || number > k.high)
        {
            Fail(errBuf, errSize, "'" + key + "' takes " + k.unit + " (" + std::to_string(k.low) + " to " +
                                      std::to_string(k.high) + "), not '" + value + "'");
            return false;
        }
        Current.*(k.field) = static_cast<unsigned>(number);
        return true;
    }
    if (key == "adc.address")
    {
        char* end = nullptr;
        unsigned long address = strtoul(value.c_str(), &end, 0);
        if (value.empty() || *end != '\0' || (address != 0x68 && address != 0x6A && address != 0x6C && address != 0x6E))
        {
            Fail(errBuf, errSize, "'adc.address' takes 0x68, 0x6A, 0x6C or 0x6E, not '" + value + "'");
            return false;
        }
        Current.adcAddress = static_cast<unsigned>(address);
        return true;
    }
    unsigned adcChannel = 0;
    if (sscanf(key.c_str(), "addon.adc.ch%u", &adcChannel) == 1 && adcChannel >= 1 && adcChannel <= 2 &&
        key == "addon.adc.ch" + std::to_string(adcChannel))
    {
        char* end = nullptr;
        double volts = strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !std::isfinite(volts) || volts < -10 || volts > 10)
        {
            Fail(errBuf, errSize, "'" + key + "' takes volts (-10 to 10), not '" + value + "'");
            return false;
        }
        Current.addonAdcInputs[adcChannel - 1] = volts;
        if (Installed) simAdc_SetUnitInput(SIM_ADC_ADDON, adcChannel, volts);
        return true;
    }
    if (sscanf(key.c_str(), "adc.ch%u", &adcChannel) == 1 && adcChannel >= 1 && adcChannel <= 4 &&
        key == "adc.ch" + std::to_string(adcChannel))
    {
        char* end = nullptr;
        double volts = strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !std::isfinite(volts) || volts < -10 || volts > 10)
        {
            Fail(errBuf, errSize, "'" + key + "' takes volts (-10 to 10), not '" + value + "'");
            return false;
        }
        Current.adcInputs[adcChannel - 1] = volts;
        if (Installed) simAdc_SetInput(adcChannel, volts);
        return true;
    }
    unsigned number = 0;
    if (sscanf(key.c_str(), "gpio.%u", &number) == 1 && key == "gpio." + std::to_string(number))
    {
        for (int i = 0; i < 4; i++)
        {
            if (GpioPins[i] != static_cast<int>(number)) continue;
            if (value != "0" && value != "1")
            {
                Fail(errBuf, errSize, "'" + key + "' takes 0 or 1, not '" + value + "'");
                return false;
            }
            Current.gpioLevels[i] = value == "1";
            if (Installed) PutOnPin(GpioPins[i], Current.gpioLevels[i]);
            return true;
        }
        Fail(errBuf, errSize, "unknown setting '" + key + "' (the module pins are gpio.42, gpio.33, gpio.13, gpio.8)");
        return false;
    }
    if (key == "addon.board")
    {
        for (const AddOnBoardName& b : AddOnBoards)
        {
            if (value != b.name) continue;
            if (Current.addonAddress != 0 && !AddressFits(b.board, Current.addonAddress))
            {
                Fail(errBuf, errSize, "'addon.address' " + Hex(Current.addonAddress) + " does not fit a " + b.name +
                                          " board");
                return false;
            }
            Current.addonBoard = b.board;
            return true;
        }
        Fail(errBuf, errSize, "'addon.board' takes none, 8i, 4i4o or uc2i, not '" + value + "'");
        return false;
    }
    if (key == "addon.address")
    {
        char* end = nullptr;
        unsigned long address = strtoul(value.c_str(), &end, 0);
        if (value.empty() || value[0] == '-' || *end != '\0' || !AddressFits(Current.addonBoard, address))
        {
            Fail(errBuf, errSize, "'addon.address' takes 0x20 to 0x27 (expander boards) or 0x68 to 0x6F (uc2i)" +
                                      std::string(Current.addonBoard == AddOnBoard::None
                                                      ? ""
                                                      : std::string(" for a ") + BoardName(Current.addonBoard).name +
                                                            " board") +
                                      ", not '" + value + "'");
            return false;
        }
        Current.addonAddress = static_cast<unsigned>(address);
        return true;
    }
    if (sscanf(key.c_str(), "addon.in%u", &number) == 1 && number >= 1 && number <= 8 &&
        key == "addon.in" + std::to_string(number))
    {
        if (value != "0" && value != "1")
        {
            Fail(errBuf, errSize, "'" + key + "' takes 0 or 1, not '" + value + "'");
            return false;
        }
        Current.addonInputs[number - 1] = value == "1";
        if (Installed) simMcp23008_SetLine(number - 1, Current.addonInputs[number - 1]);
        return true;
    }
    bool isRegister = false;
    if (ModbusKey(key, &isRegister, &number))
    {
        char* end = nullptr;
        unsigned long v = strtoul(value.c_str(), &end, 0);
        if (isRegister)
        {
            if (value.empty() || value[0] == '-' || *end != '\0' || v > 0xFFFF)
            {
                Fail(errBuf, errSize, "'" + key + "' takes a register value (0 to 65535), not '" + value + "'");
                return false;
            }
            Current.modbusRegisters[number] = static_cast<uint16_t>(v);
            if (ModbusLoaded) simModbus_SetRegister(static_cast<uint16_t>(number), static_cast<uint16_t>(v));
            return true;
        }
        if (value != "0" && value != "1")
        {
            Fail(errBuf, errSize, "'" + key + "' takes 0 or 1, not '" + value + "'");
            return false;
        }
        Current.modbusCoils[number] = value == "1";
        if (ModbusLoaded) simModbus_SetCoil(static_cast<uint16_t>(number), value == "1");
        return true;
    }
    if (key.compare(0, 8, "service.") == 0 && key.size() > 8)
    {
        if (!ParseBool(value, &flag))
        {
            Fail(errBuf, errSize, "'" + key + "' takes available or unavailable, not '" + value + "'");
            return false;
        }
        Current.services.emplace_back(key.substr(8), flag);
        return true;
    }
    Fail(errBuf, errSize, "unknown setting '" + key + "'");
    return false;
}

bool simBoard_LoadFile(const char* path, char* errBuf, size_t errSize)
{
    FILE* f = fopen(path, "r");
    if (f == nullptr)
    {
        Fail(errBuf, errSize, std::string("cannot open scenario file ") + path + ": " + strerror(errno));
        return false;
    }
    simBoard_LoadPreset("none", nullptr, 0);
    char line[1024];
    unsigned lineNo = 0;
    bool ok = true;
    while (ok && fgets(line, sizeof(line), f))
    {
        lineNo++;
        std::string l = Trim(line);
        if (l.empty() || l[0] == '#') continue;
        size_t eq = l.find('=');
        char err[256] = "";
        if (eq == std::string::npos)
        {
            snprintf(err, sizeof(err), "expected key = value");
            ok = false;
        }
        else
        {
            ok = simBoard_Set(l.substr(0, eq).c_str(), l.substr(eq + 1).c_str(), err, sizeof(err));
        }
        if (!ok) Fail(errBuf, errSize, std::string(path) + ":" + std::to_string(lineNo) + ": " + err);
    }
    fclose(f);
    return ok;
}

void simBoard_Install(void)
{
    Scenario s;
    {
        std::lock_guard<std::mutex> lock(SimMutex);
        s = Current;
        EepromPointer = 0;
        ExpanderPointer = 0;
        memset(ExpanderRegisters, 0, sizeof(ExpanderRegisters));
        ExpanderWrites.clear();
    }
    simAdc_Detach();
    simAdc_DetachUnit(SIM_ADC_ADDON);
    simMcp23008_Detach();
    pa_i2cSim_RemoveBus(SIM_EEPROM_BUS);
    pa_i2cSim_RemoveBus(SIM_EXPANDER_BUS);
    if (s.eepromBus)
    {
        pa_i2cSim_AddBus(SIM_EEPROM_BUS);
        if (s.eepromPresent)
        {
            pa_i2cSim_Device_t eeprom = {EepromWrite, EepromRead, nullptr};
            pa_i2cSim_AttachDevice(SIM_EEPROM_BUS, SIM_EEPROM_ADDRESS, &eeprom);
        }
        if (s.probePresent)
        {
            pa_i2cSim_Device_t probe = {ProbeWrite, ProbeRead, nullptr};
            pa_i2cSim_AttachDevice(SIM_EEPROM_BUS, SIM_PROBE_ADDRESS, &probe);
        }
        if (s.adcPresent) simAdc_Attach(SIM_EEPROM_BUS, static_cast<uint8_t>(s.adcAddress));
        if (IsExpander(s.addonBoard))
        {
            for (unsigned line = 0; line < 8; line++) simMcp23008_SetLine(line, s.addonInputs[line]);
            simMcp23008_Attach(SIM_EEPROM_BUS, static_cast<uint8_t>(AddOnAddress(s)), OnAddOnInt);
        }
        else if (s.addonBoard == AddOnBoard::Converter2)
        {
            // Strapped to the base board's chip's address, both answer together.
            bool shared = s.adcPresent && s.adcAddress == AddOnAddress(s);
            simAdc_AttachUnit(SIM_ADC_ADDON, SIM_EEPROM_BUS, static_cast<uint8_t>(AddOnAddress(s)), 2, shared);
        }
    }
    for (int i = 0; i < 4; i++) PutOnPin(GpioPins[i], s.gpioLevels[i]);
    for (unsigned c = 1; c <= 4; c++) simAdc_SetInput(c, s.adcInputs[c - 1]);
    for (unsigned c = 1; c <= 2; c++) simAdc_SetUnitInput(SIM_ADC_ADDON, c, s.addonAdcInputs[c - 1]);
    if (s.expanderBus)
    {
        pa_i2cSim_AddBus(SIM_EXPANDER_BUS);
        if (s.expanderPresent)
        {
            pa_i2cSim_Device_t expander = {ExpanderWrite, ExpanderRead, nullptr};
            pa_i2cSim_AttachDevice(SIM_EXPANDER_BUS, SIM_EXPANDER_ADDRESS, &expander);
        }
    }
    for (const auto& svc : s.services) pa_service_SetAvailable(svc.first.c_str(), svc.second);
    std::lock_guard<std::mutex> lock(SimMutex);
    Installed = true;
}

void simBoard_LoadModbusMap(void)
{
    std::lock_guard<std::mutex> lock(SimMutex);
    for (const auto& r : Current.modbusRegisters) simModbus_SetRegister(static_cast<uint16_t>(r.first), r.second);
    for (const auto& c : Current.modbusCoils) simModbus_SetCoil(static_cast<uint16_t>(c.first), c.second);
    ModbusLoaded = true;
}

size_t simBoard_ExpanderWriteCount(void)
{
    std::lock_guard<std::mutex> lock(SimMutex);
    return ExpanderWrites.size();
}

bool simBoard_ExpanderWrite(size_t index, uint8_t* regPtr, uint8_t* valuePtr)
{
    std::lock_guard<std::mutex> lock(SimMutex);
    if (index >= ExpanderWrites.size()) return false;
    *regPtr = ExpanderWrites[index].first;
    *valuePtr = ExpanderWrites[index].second;
    return true;
}

uint8_t simBoard_ExpanderRegister(uint8_t reg)
{
    std::lock_guard<std::mutex> lock(SimMutex);
    return ExpanderRegisters[reg];
}

const uint8_t* simBoard_EepromData(void)
{
    return Current.eeprom;
}

bool simBoard_Esp3(unsigned* periodMsPtr)
{
    std::lock_guard<std::mutex> lock(SimMutex);
    if (periodMsPtr) *periodMsPtr = Current.esp3PeriodMs;
    return Current.esp3Present;
}

bool simBoard_Modbus(uint8_t* addressPtr)
{
    std::lock_guard<std::mutex> lock(SimMutex);
    if (addressPtr) *addressPtr = static_cast<uint8_t>(Current.modbusAddress);
    return Current.modbusPresent;
}

namespace
{
std::string YesNo(bool b)
{
    return b ? "yes" : "no";
}

// A block of text as the scenario key gives it: up to its first zero byte, other bytes as \xNN.
std::string BlockText(uint16_t address)
{
    std::string text;
    for (size_t i = 0; i < BlockSize; i++)
    {
        unsigned char c = Current.eeprom[address + i];
        if (c == 0) break;
        if (c >= 0x20 && c < 0x7F)
        {
            text += static_cast<char>(c);
        }
        else
        {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02x", c);
            text += hex;
        }
    }
    return text;
}

std::string Volts(double v)
{
    char text[32];
    snprintf(text, sizeof(text), "%g", v);
    return text;
}

// What a key is to a running board: Fixed describes the board (set in the scenario only); Volts
// and Level are inputs of the simulated devices, which may change while the program runs; Observed
// is what the component drives (read only).
enum class KeyUse
{
    Fixed,
    Volts,
    Level,
    Observed
};

const char* UseName(KeyUse use)
{
    switch (use)
    {
        case KeyUse::Volts: return "volts";
        case KeyUse::Level: return "level";
        case KeyUse::Observed: return "driven";
        case KeyUse::Fixed: break;
    }
    return "fixed";
}

struct ListedKey
{
    const char* name;
    std::string (*value)(const Scenario& s);
    KeyUse use;
};

// A module pin: the level it carries once the board runs (the component may drive it), else the
// level the scenario puts on it.
template <int Index>
std::string PinLevel(const Scenario& s)
{
    pa_gpioSim_State_t state;
    if (Installed && pa_gpioSim_GetState(GpioPins[Index], &state)) return state.level ? "1" : "0";
    return s.gpioLevels[Index] ? "1" : "0";
}

template <int Line>
std::string AddOnInput(const Scenario& s)
{
    return s.addonInputs[Line] ? "1" : "0";
}

// An expander line as the board drives it; "-" when no expander is plugged.
template <int Line>
std::string AddOnOutput(const Scenario&)
{
    if (!simMcp23008_Attached()) return "-";
    return simMcp23008_Line(Line) ? "1" : "0";
}

const ListedKey ListedKeys[] = {
    {"eeprom.signature", [](const Scenario&) { return BlockText(SignatureAddress); }, KeyUse::Fixed},
    {"eeprom.name", [](const Scenario&) { return BlockText(NameAddress); }, KeyUse::Fixed},
    {"eeprom.present", [](const Scenario& s) { return YesNo(s.eepromPresent); }, KeyUse::Fixed},
    {"eeprom.short_reads", [](const Scenario& s) { return YesNo(s.eepromShortReads); }, KeyUse::Fixed},
    {"bus.i2c-5", [](const Scenario& s) { return YesNo(s.eepromBus); }, KeyUse::Fixed},
    {"bus.i2c-8", [](const Scenario& s) { return YesNo(s.expanderBus); }, KeyUse::Fixed},
    {"expander.present", [](const Scenario& s) { return YesNo(s.expanderPresent); }, KeyUse::Fixed},
    {"probe.present", [](const Scenario& s) { return YesNo(s.probePresent); }, KeyUse::Fixed},
    {"esp3.present", [](const Scenario& s) { return YesNo(s.esp3Present); }, KeyUse::Fixed},
    {"esp3.period_ms", [](const Scenario& s) { return std::to_string(s.esp3PeriodMs); }, KeyUse::Fixed},
    {"modbus.present", [](const Scenario& s) { return YesNo(s.modbusPresent); }, KeyUse::Fixed},
    {"modbus.address", [](const Scenario& s) { return std::to_string(s.modbusAddress); }, KeyUse::Fixed},
    {"adc.present", [](const Scenario& s) { return YesNo(s.adcPresent); }, KeyUse::Fixed},
    {"adc.address",
     [](const Scenario& s) {
         char text[8];
         snprintf(text, sizeof(text), "0x%02X", s.adcAddress);
         return std::string(text);
     },
     KeyUse::Fixed},
    {"adc.ch1", [](const Scenario& s) { return Volts(s.adcInputs[0]); }, KeyUse::Volts},
    {"adc.ch2", [](const Scenario& s) { return Volts(s.adcInputs[1]); }, KeyUse::Volts},
    {"adc.ch3", [](const Scenario& s) { return Volts(s.adcInputs[2]); }, KeyUse::Volts},
    {"adc.ch4", [](const Scenario& s) { return Volts(s.adcInputs[3]); }, KeyUse::Volts},
    {"gpio.42", PinLevel<0>, KeyUse::Level},
    {"gpio.33", PinLevel<1>, KeyUse::Level},
    {"gpio.13", PinLevel<2>, KeyUse::Level},
    {"gpio.8", PinLevel<3>, KeyUse::Level},
    {"addon.board", [](const Scenario& s) { return std::string(BoardName(s.addonBoard).name); }, KeyUse::Fixed},
    {"addon.address",
     [](const Scenario& s) { return s.addonBoard == AddOnBoard::None && s.addonAddress == 0 ? std::string("-")
                                                                                           : Hex(AddOnAddress(s)); },
     KeyUse::Fixed},
    {"addon.adc.ch1", [](const Scenario& s) { return Volts(s.addonAdcInputs[0]); }, KeyUse::Volts},
    {"addon.adc.ch2", [](const Scenario& s) { return Volts(s.addonAdcInputs[1]); }, KeyUse::Volts},
    {"addon.in1", AddOnInput<0>, KeyUse::Level},
    {"addon.in2", AddOnInput<1>, KeyUse::Level},
    {"addon.in3", AddOnInput<2>, KeyUse::Level},
    {"addon.in4", AddOnInput<3>, KeyUse::Level},
    {"addon.in5", AddOnInput<4>, KeyUse::Level},
    {"addon.in6", AddOnInput<5>, KeyUse::Level},
    {"addon.in7", AddOnInput<6>, KeyUse::Level},
    {"addon.in8", AddOnInput<7>, KeyUse::Level},
    {"addon.out5", AddOnOutput<4>, KeyUse::Observed},
    {"addon.out6", AddOnOutput<5>, KeyUse::Observed},
    {"addon.out7", AddOnOutput<6>, KeyUse::Observed},
    {"addon.out8", AddOnOutput<7>, KeyUse::Observed},
};

// Whether the device a key belongs to is on the board: the converter, the add-on converter, the
// add-on expander (the module pins always are).
bool Fitted(const std::string& key, const Scenario& s)
{
    if (key.compare(0, 4, "adc.") == 0) return s.adcPresent;
    if (key.compare(0, 10, "addon.adc.") == 0) return s.addonBoard == AddOnBoard::Converter2;
    if (key.compare(0, 6, "addon.") == 0)
    {
        return s.addonBoard == AddOnBoard::Inputs8 || s.addonBoard == AddOnBoard::Inputs4Outputs4;
    }
    return true;
}

const ListedKey* FindListed(const std::string& key)
{
    for (const ListedKey& k : ListedKeys)
    {
        if (key == k.name) return &k;
    }
    return nullptr;
}
}

bool simBoard_Get(const char* key, char* valueBuf, size_t valueSize, char* errBuf, size_t errSize)
{
    bool isRegister = false;
    unsigned number = 0;
    if (ModbusKey(Trim(key ? key : ""), &isRegister, &number))
    {
        std::lock_guard<std::mutex> lock(SimMutex);
        snprintf(valueBuf, valueSize, "%s", ModbusValue(Current, isRegister, number).c_str());
        return true;
    }
    const ListedKey* k = FindListed(Trim(key ? key : ""));
    if (k == nullptr)
    {
        Fail(errBuf, errSize, std::string("unknown key '") + (key ? key : "") + "' (see: simboard list)");
        return false;
    }
    std::lock_guard<std::mutex> lock(SimMutex);
    snprintf(valueBuf, valueSize, "%s", k->value(Current).c_str());
    return true;
}

void simBoard_ForEachKey(void (*func)(const char* key, const char* value, const char* use, void* ctx), void* ctx)
{
    struct Listed
    {
        std::string key, value;
        const char* use;
    };
    std::vector<Listed> all;
    {
        std::lock_guard<std::mutex> lock(SimMutex);
        for (const ListedKey& k : ListedKeys)
        {
            bool absent = k.use != KeyUse::Fixed && !Fitted(k.name, Current);
            all.push_back({k.name, k.value(Current), absent ? "absent" : UseName(k.use)});
        }
        if (Current.modbusPresent)
        {
            for (unsigned n = 0; n < SIM_MODBUS_REGISTERS; n++)
                all.push_back({"modbus.reg." + std::to_string(n), ModbusValue(Current, true, n), "register"});
            for (unsigned n = 0; n < SIM_MODBUS_COILS; n++)
                all.push_back({"modbus.coil." + std::to_string(n), ModbusValue(Current, false, n), "level"});
        }
    }
    for (const Listed& k : all) func(k.key.c_str(), k.value.c_str(), k.use, ctx);
}

bool simBoard_SetLive(const char* key, const char* value, char* errBuf, size_t errSize)
{
    std::string name = Trim(key ? key : "");
    bool isRegister = false;
    unsigned number = 0;
    if (ModbusKey(name, &isRegister, &number)) return simBoard_Set(name.c_str(), value ? value : "", errBuf, errSize);
    const ListedKey* k = FindListed(name);
    bool scenarioKey = k != nullptr || name == "board" || name.compare(0, 10, "eeprom.at.") == 0 ||
                       name.compare(0, 8, "service.") == 0;
    if (!scenarioKey)
    {
        Fail(errBuf, errSize, "unknown key '" + name + "' (see: simboard list)");
        return false;
    }
    if (k != nullptr && k->use == KeyUse::Observed)
    {
        Fail(errBuf, errSize, "'" + name + "' is what the board drives; it can be read, not set");
        return false;
    }
    if (k == nullptr || k->use == KeyUse::Fixed)
    {
        Fail(errBuf, errSize, "'" + name + "' cannot change while the program runs (only in the scenario)");
        return false;
    }
    return simBoard_Set(name.c_str(), value ? value : "", errBuf, errSize);
}
