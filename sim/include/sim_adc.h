// A simulated MCP3424-class converter: four differential inputs, a PGA (x1 to x8), 12, 14, 16 or
// 18-bit resolution, one-shot and continuous modes, as the datasheet describes its I2C protocol:
// - a one-byte write is the configuration register; in one-shot mode a written ready bit (bit 7)
//   starts a conversion of the selected channel (bits 6-5) at the selected resolution (bits 3-2)
//   and gain (bits 1-0);
// - a read returns the output register (two bytes, three at 18 bits) and then the configuration
//   byte again and again; its ready bit stays set until the conversion time has passed on the
//   platform clock (1/240, 1/60, 1/15, 1/3.75 s);
// - the code is the input voltage times the gain over the LSB (2.048 V over the resolution's range:
//   1 mV, 250 uV, 62.5 uV, 15.625 uV), clipped to the two's-complement range of the resolution.
#pragma once

#include <cstddef>
#include <cstdint>

// Puts the chip on the simulated bus at the 7-bit address (0x68 to 0x6F), replacing any device
// there, in its power-on state (one-shot off: continuous, channel 1, 12 bits, x1).
void simAdc_Attach(const char* busPath, uint8_t address);
void simAdc_Detach(void);
// The input voltage of channel 1 to 4 (volts); false for another channel.
bool simAdc_SetInput(unsigned channel, double volts);
double simAdc_GetInput(unsigned channel);
// Conversions started so far (for tests and benchmarks).
unsigned simAdc_ConversionCount(void);

// Two chips can be simulated: unit 0 the base board's converter (four inputs), unit 1 the add-on
// board's (two inputs: channels 3 and 4 read 0 V). With shareAddress the chip joins one already at
// the address (see pa_i2cSim_ShareAddress) instead of replacing it. The calls above are unit 0's.
#define SIM_ADC_BASE 0
#define SIM_ADC_ADDON 1
void simAdc_AttachUnit(unsigned unit, const char* busPath, uint8_t address, unsigned inputs, bool shareAddress);
void simAdc_DetachUnit(unsigned unit);
bool simAdc_SetUnitInput(unsigned unit, unsigned channel, double volts);
double simAdc_GetUnitInput(unsigned unit, unsigned channel);
unsigned simAdc_UnitConversionCount(unsigned unit);
