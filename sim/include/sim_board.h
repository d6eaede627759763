// The simulated carrier board: identification EEPROM (24C32 class, two-byte addresses, 0x52 on
// "/dev/i2c-5"), the board I/O expander (0x3E on "/dev/i2c-8") and the bus probe slave (0x53 on
// "/dev/i2c-5"). A scenario says what is fitted; see sim/SCENARIOS.md.
#pragma once

#include "le_basics.h"

#include <cstddef>

#define SIM_EEPROM_SIZE 4096
#define SIM_EEPROM_ADDRESS 0x52
#define SIM_EXPANDER_ADDRESS 0x3E
#define SIM_PROBE_ADDRESS 0x53
#define SIM_EEPROM_BUS "/dev/i2c-5"
#define SIM_EXPANDER_BUS "/dev/i2c-8"
// The add-on slot: an MCP23008 expander board (8 inputs, or 4 inputs and 4 outputs) or the 2-input
// converter board, on "/dev/i2c-5". The expander's INT output is wired to module pin 8.
#define SIM_ADDON_EXPANDER_ADDRESS 0x20
#define SIM_ADDON_CONVERTER_ADDRESS 0x6C

// Starts a scenario from a preset: "gateway", "converter", "basalt", "addon", "none", "absent",
// "unreadable". false (with a message) for an unknown name.
bool simBoard_LoadPreset(const char* name, char* errBuf, size_t errSize);
// Reads a scenario file (key = value lines); false with a message naming the line on error.
bool simBoard_LoadFile(const char* path, char* errBuf, size_t errSize);
// Applies one "key = value" setting to the loaded scenario.
bool simBoard_Set(const char* key, const char* value, char* errBuf, size_t errSize);
// Names of the presets, for help texts.
const char* simBoard_PresetNames(void);

// Puts the scenario's buses and devices behind the i2c seam and applies its service settings.
void simBoard_Install(void);

// Board expander: the register writes it received, in order.
size_t simBoard_ExpanderWriteCount(void);
bool simBoard_ExpanderWrite(size_t index, uint8_t* regPtr, uint8_t* valuePtr);
uint8_t simBoard_ExpanderRegister(uint8_t reg);

// Whether the scenario fits the EnOcean transceiver (sim_esp3.h), and its telegram period.
bool simBoard_Esp3(unsigned* periodMsPtr);
// Whether the scenario has the Modbus slave (sim_modbus.h) on the second port, and its address.
bool simBoard_Modbus(uint8_t* addressPtr);
// Puts the scenario's registers and coils (modbus.reg.N, modbus.coil.N) into the running slave;
// from then on those keys read and change the slave itself.
void simBoard_LoadModbusMap(void);

// The keys of a running board, as simboard sees them. Get copies a key's value as the scenario file
// would give it; ForEachKey lists every key with its value and its use: "fixed" (describes the
// board), "volts", "level" or "register" (an input of a simulated device), "driven" (what the
// component drives) or "absent" (of a device the board does not carry); SetLive changes what may change while the program runs (the inputs) and
// refuses the rest with a message.
bool simBoard_Get(const char* key, char* valueBuf, size_t valueSize, char* errBuf, size_t errSize);
void simBoard_ForEachKey(void (*func)(const char* key, const char* value, const char* use, void* ctx), void* ctx);
bool simBoard_SetLive(const char* key, const char* value, char* errBuf, size_t errSize);

// EEPROM contents as the scenario set them (for tests).
const uint8_t* simBoard_EepromData(void);
