// A simulated MCP23008 8-bit I/O expander as its datasheet describes the I2C side:
// - registers IODIR (00h, power-on FFh: all inputs), IPOL, GPINTEN, DEFVAL, INTCON, IOCON, GPPU,
//   INTF (read-only), INTCAP (read-only), GPIO and OLAT (0Ah); a write's first byte is the register
//   pointer, the following bytes are written from it on; reads return registers from the pointer.
//   With IOCON.SEQOP (bit 5) clear the pointer advances after each byte and wraps after OLAT;
//   with it set the pointer stays. A pointer beyond OLAT is not acknowledged (EIO);
// - GPIO reads the lines: an input line is the level put on it, inverted when its IPOL bit is set;
//   an output line (IODIR bit clear) drives its OLAT bit. Writing GPIO writes OLAT;
// - interrupt-on-change for input lines with GPINTEN set: against DEFVAL where INTCON is set, else
//   against the previous line level. The first change captures INTF (the lines that caused it) and
//   INTCAP (the port as GPIO would read) and asserts INT; further changes wait until the interrupt
//   is cleared by reading GPIO or INTCAP, after which a line that still differs raises it again;
// - INT is open drain (active low, released high through the board's pull-up) when IOCON.ODR
//   (bit 2) is set, else push-pull with its active level from IOCON.INTPOL (bit 1).
#pragma once

#include <cstddef>
#include <cstdint>

// Puts the chip on the simulated bus at the 7-bit address in its power-on state, replacing any device
// there. intChanged (may be NULL) is called with the level of the INT pin whenever it changes, from
// the thread whose access or line change made it change.
void simMcp23008_Attach(const char* busPath, uint8_t address, void (*intChanged)(bool level));
void simMcp23008_Detach(void);
bool simMcp23008_Attached(void);
// The level put on line 0 to 7 from outside (seen while the line is an input); false for another line.
bool simMcp23008_SetLine(unsigned line, bool level);
// The level line 0 to 7 carries: what the chip drives on an output, what is put on an input.
bool simMcp23008_Line(unsigned line);
// A register's content, without the side effects of a bus read (for tests and tools).
uint8_t simMcp23008_Register(uint8_t reg);
bool simMcp23008_IntLevel(void);
// Interrupts raised so far.
unsigned simMcp23008_InterruptCount(void);
