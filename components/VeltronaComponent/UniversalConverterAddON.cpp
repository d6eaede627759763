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

void StartAddONUC(void)
{
    ConverterStart(&AddOnConverter);
}

uint8_t ReadWAddON(uint8_t address, uint8_t config, uint8_t* buffer)
{
    return ConverterReadW(&AddOnConverter, address, config, buffer);
}

le_result_t le_ExtAdcAddON_SetDeviceAddress(uint8_t index)
{
    return ConverterSetDeviceAddress(&AddOnConverter, index);
}

void le_ExtAdcAddON_SetInterface(uint8_t channelMask, uint32_t interfaceType)
{
    ConverterSetInterface(&AddOnConverter, channelMask, interfaceType);
}

le_result_t le_ExtAdcAddON_SetGain(uint8_t channelMask, uint32_t gain)
{
    return ConverterSetGain(&AddOnConverter, channelMask, gain);
}

le_result_t le_ExtAdcAddON_SetConversionSpeed(uint32_t speed)
{
    AddOnConverter.conversionSpeed = speed;
    return LE_OK;
}

le_result_t le_ExtAdcAddON_SetConverter(uint8_t channelMask, double min, double max)
{
    return ConverterSetConverter(&AddOnConverter, channelMask, min, max);
}

le_result_t le_ExtAdcAddON_SetEdges(uint8_t channelMask, double low, double high, double hysteresis)
{
    return ConverterSetEdges(&AddOnConverter, channelMask, low, high, hysteresis);
}

le_result_t le_ExtAdcAddON_SetFileDescriptor(const char* path)
{
    return ConverterSetBus(&AddOnConverter, path);
}

le_result_t le_ExtAdcAddON_SetInterval(uint32_t intervalMs)
{
    AddOnConverter.timer = intervalMs;
    return LE_OK;
}

void le_ExtAdcAddON_MeasureNow(void)
{
    AddOnConverter.measureNow = true;
}

void le_ExtAdcAddON_MutexLock(void)
{
    ConverterMutexLock(&AddOnConverter);
}

void le_ExtAdcAddON_MutexUnlock(void)
{
    ConverterMutexUnlock(&AddOnConverter);
}

le_result_t le_ExtAdcAddON_GetValue(IOT_ADC channel, uint16_t* rawDataPtr, double* percentagePtr,
                                    double* convertedValuePtr)
{
    return ConverterGetValue(&AddOnConverter, channel, rawDataPtr, percentagePtr, convertedValuePtr);
}

le_ExtAdcAddON_ValueHandlerRef_t le_ExtAdcAddON_AddOnValueHandler(uint8_t channelMask,
                                                                  le_ExtAdc_ValueHandlerFunc_t handler,
                                                                  void* contextPtr)
{
    return ConverterAddValueHandler(&AddOnConverter, channelMask, handler, contextPtr);
}

void le_ExtAdcAddON_RemoveOnValueHandler(le_ExtAdcAddON_ValueHandlerRef_t handlerRef)
{
    ConverterRemoveValueHandler(&AddOnConverter, handlerRef);
}

le_ExtAdcAddON_AlertHandlerRef_t le_ExtAdcAddON_AddOnAlertHandler(uint8_t channelMask,
                                                                  le_ExtAdc_AlertHandlerFunc_t handler,
                                                                  void* contextPtr)
{
    return ConverterAddAlertHandler(&AddOnConverter, channelMask, handler, contextPtr);
}

void le_ExtAdcAddON_RemoveOnAlertHandler(le_ExtAdcAddON_AlertHandlerRef_t handlerRef)
{
    ConverterRemoveAlertHandler(&AddOnConverter, handlerRef);
}

bool IsHandlerActiveAddON(void)
{
    return ConverterHandlerActive(&AddOnConverter);
}

bool UCAddONLooperRunning(void)
{
    return AddOnConverter.isLooperRunning;
}

void* LooperAddON(void* contextPtr)
{
    LE_UNUSED(contextPtr);
    ConverterRunLooper(&AddOnConverter);
    return nullptr;
}
