// A simulated Modbus RTU slave behind a pseudo-terminal: 128 holding registers and 64 coils,
// read with functions 1 and 3 and written with functions 5 and 6. Requests to another address
// are ignored; broadcasts (address 0) are executed without an answer; a bad CRC gets no answer;
// an unknown function or an address out of the map gets an exception answer.
#pragma once

#include <cstddef>
#include <cstdint>

#define SIM_MODBUS_REGISTERS 128
#define SIM_MODBUS_COILS 64

// Opens the pty and starts the slave's thread; the slave side's path (what the master opens as
// its serial port) is copied to slavePath. The register map is reset to its initial content:
// register N holds N * 16, except that register 47 holds the digital inputs (0x0005) and
// registers 49 to 56 analogue values.
bool simModbus_Start(uint8_t address, char* slavePath, size_t slavePathSize);
void simModbus_Stop(void);

// The map the slave starts with (after simModbus_Start, before any write).
uint16_t simModbus_InitialRegister(uint16_t address);
bool simModbus_Running(void);

uint16_t simModbus_Register(uint16_t address);
void simModbus_SetRegister(uint16_t address, uint16_t value);
bool simModbus_Coil(uint16_t address);
void simModbus_SetCoil(uint16_t address, bool on);
// Requests answered so far (or executed, for broadcasts).
unsigned simModbus_RequestCount(void);
// Called on the slave's thread right after each answer's last byte was written (for benchmarks).
void simModbus_SetAnswerHook(void (*written)(void));
