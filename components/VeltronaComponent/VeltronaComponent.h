// Start-up and board identification.
#pragma once

#include <cstdint>

// Board mode, decided once at start-up.
enum : uint8_t
{
    BOARD_NONE = 0,
    BOARD_ADDON_ONLY = 1,
    BOARD_CONVERTER = 2,
    BOARD_ENOCEAN = 3
};

extern uint8_t BoardType;

void _VeltronaComponent_Init(void);
void _VeltronaComponent_COMPONENT_INIT_ONCE(void);
void _VeltronaComponent_COMPONENT_INIT(void);

// Writes one register of a device on "/dev/i2c-8".
void Write(uint8_t address, uint8_t reg, uint8_t value);
// Reads the identification EEPROM, builds the board's mode and returns the board mode.
uint8_t ReadEEPROM(void);
