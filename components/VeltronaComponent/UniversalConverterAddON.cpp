#include "UniversalConverterAddON.h"

MinMaxADC MinMaxADCAddON1, MinMaxADCAddON2;
EdgeADC EdgeADCAddON1, EdgeADCAddON2;
uint32_t SavedAddON1, SavedAddON2;

namespace
{
const ConverterChannel ChannelsAddON[2] = {{ADC1, 0x80, &MinMaxADCAddON1, &EdgeADCAddON1, &SavedAddON1},
                                           {ADC2, 0xA0, &MinMaxADCAddON2, &EdgeADCAddON2, &SavedAddON2}};

// The measure-now flag ends the wait as on the base converter: a client that asks for a
// measurement now gets it from either.
Converter AddOnConverter("add-on converter", ChannelsAddON, 2, UC_ADDON_CONVERSIONS, false, true, LooperAddON);
}

UC_DEFINE_OPERATIONS(le_ExtAdcAddON, AddOnConverter, StartAddONUC, ReadWAddON, IsHandlerActiveAddON, LooperAddON,
                     UCAddONLooperRunning)
