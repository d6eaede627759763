#include "sim_board.h"
#include "le_log.h"
#include "pa_i2c.h"
#include "pa_service.h"
#include "sim_adc.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace
{
const uint16_t SignatureAddress = 0x0004;
const uint16_t NameAddress = 0x0024;
const size_t BlockSize = 32;

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
    uint8_t eeprom[SIM_EEPROM_SIZE];
    std::vector<std::pair<std::string, bool>> services;
};

std::mutex SimMutex;
Scenario Current;
bool Installed = false;   // the scenario's devices are in place: the program runs
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
    }
    for (unsigned c = 1; c <= 4; c++) simAdc_SetInput(c, s.adcInputs[c - 1]);
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

struct ListedKey
{
    const char* name;
    std::string (*value)(const Scenario& s);
    bool live;   // may change while the program runs
};

const ListedKey ListedKeys[] = {
    {"eeprom.signature", [](const Scenario&) { return BlockText(SignatureAddress); }, false},
    {"eeprom.name", [](const Scenario&) { return BlockText(NameAddress); }, false},
    {"eeprom.present", [](const Scenario& s) { return YesNo(s.eepromPresent); }, false},
    {"eeprom.short_reads", [](const Scenario& s) { return YesNo(s.eepromShortReads); }, false},
    {"bus.i2c-5", [](const Scenario& s) { return YesNo(s.eepromBus); }, false},
    {"bus.i2c-8", [](const Scenario& s) { return YesNo(s.expanderBus); }, false},
    {"expander.present", [](const Scenario& s) { return YesNo(s.expanderPresent); }, false},
    {"probe.present", [](const Scenario& s) { return YesNo(s.probePresent); }, false},
    {"esp3.present", [](const Scenario& s) { return YesNo(s.esp3Present); }, false},
    {"esp3.period_ms", [](const Scenario& s) { return std::to_string(s.esp3PeriodMs); }, false},
    {"modbus.present", [](const Scenario& s) { return YesNo(s.modbusPresent); }, false},
    {"modbus.address", [](const Scenario& s) { return std::to_string(s.modbusAddress); }, false},
    {"adc.present", [](const Scenario& s) { return YesNo(s.adcPresent); }, false},
    {"adc.address",
     [](const Scenario& s) {
         char text[8];
         snprintf(text, sizeof(text), "0x%02X", s.adcAddress);
         return std::string(text);
     },
     false},
    {"adc.ch1", [](const Scenario& s) { return Volts(s.adcInputs[0]); }, true},
    {"adc.ch2", [](const Scenario& s) { return Volts(s.adcInputs[1]); }, true},
    {"adc.ch3", [](const Scenario& s) { return Volts(s.adcInputs[2]); }, true},
    {"adc.ch4", [](const Scenario& s) { return Volts(s.adcInputs[3]); }, true},
};

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

void simBoard_ForEachKey(void (*func)(const char* key, const char* value, void* ctx), void* ctx)
{
    std::vector<std::pair<std::string, std::string>> all;
    {
        std::lock_guard<std::mutex> lock(SimMutex);
        for (const ListedKey& k : ListedKeys) all.emplace_back(k.name, k.value(Current));
    }
    for (const auto& kv : all) func(kv.first.c_str(), kv.second.c_str(), ctx);
}

bool simBoard_SetLive(const char* key, const char* value, char* errBuf, size_t errSize)
{
    std::string name = Trim(key ? key : "");
    const ListedKey* k = FindListed(name);
    bool scenarioKey = k != nullptr || name == "board" || name.compare(0, 10, "eeprom.at.") == 0 ||
                       name.compare(0, 8, "service.") == 0;
    if (!scenarioKey)
    {
        Fail(errBuf, errSize, "unknown key '" + name + "' (see: simboard list)");
        return false;
    }
    if (k == nullptr || !k->live)
    {
        Fail(errBuf, errSize, "'" + name + "' cannot change while the program runs (only in the scenario)");
        return false;
    }
    return simBoard_Set(name.c_str(), value ? value : "", errBuf, errSize);
}
