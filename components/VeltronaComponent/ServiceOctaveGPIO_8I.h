// The 8-input expander board (add-on type 4): an MCP23008-class I/O expander on "/dev/i2c-5" whose
// interrupt output is wired to le_gpioPin8. Its register access, address setting, construction and
// interrupt loop also serve the 4-input/4-output board.
#pragma once

#include "legato.h"

#define EXPANDER_REG_IODIR 0x00
#define EXPANDER_REG_IPOL 0x01
#define EXPANDER_REG_GPINTEN 0x02
#define EXPANDER_REG_IOCON 0x05
#define EXPANDER_REG_GPPU 0x06
#define EXPANDER_REG_INTF 0x07
#define EXPANDER_REG_GPIO 0x09
#define EXPANDER_REG_OLAT 0x0A
#define EXPANDER_BASE_ADDRESS 0x20
// Passes one interrupt may take while the flags stay set; the next edge starts another run.
#define EXPANDER_MAX_PASSES 64

void Init_8Inputs(void);
void HandleSettingsAddressPush(double timestamp, double value, void* contextPtr);
void OnStateChanege8I(bool state, void* contextPtr);

// Register access at a slave address, each starting with the bus probe: true with the register's
// value, false when the read failed (a failed read is no register holding 0); 1 when both bytes
// were written, else 0.
bool ExpanderRead(uint8_t address, uint8_t reg, uint8_t* value);
uint8_t ExpanderWrite(uint8_t address, uint8_t reg, uint8_t value);
// One set-up write through the board's Write, followed by "0xNN Setup." or "0xNN Failed.".
void ExpanderSetupWrite(uint8_t (*write)(uint8_t reg, uint8_t value), uint8_t reg, uint8_t value);
// "addon/i2c_address" pushed: 0 to 3 select 0x20 to 0x23, any other number keeps the address.
// The set-up runs at the address now in force, and the inputs are read there at once: that read
// also clears an interrupt the chip may hold, which would otherwise keep its line low for good.
void ExpanderAddressPush(const struct ExpanderBoard* board, double value);

typedef struct ExpanderBoard
{
    uint8_t* addressPtr;                          // the board's slave address variable
    void (*setup)(void);                          // the board's SetupExpander
    le_gpio_ChangeCallbackFunc_t onInterrupt;     // its change handler on le_gpioPin8
    io_NumericPushHandlerFunc_t onAddress;        // its "addon/i2c_address" handler
    int inputs;                                   // inputs 1 to N on lines 0 to N-1
}
ExpanderBoard_t;

// The construction both boards share: interrupt pin, address 0x20 and set-up, interrupt handler,
// port read, the address setting and the inputs.
void BuildExpanderBoard(const ExpanderBoard_t* board);
// The interrupt loop: port read, changes pushed in ascending order, flags re-read until 0, and
// once they are, the interrupt line looked at, so that an interrupt still held is read again.
void RunExpanderInterrupt(const ExpanderBoard_t* board);
