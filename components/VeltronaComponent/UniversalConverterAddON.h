// The add-on board's converter: a second chip of the family with two inputs (ADC1 and ADC2), its
// own settings, lock, handler lists and looper thread. Each measurement takes five conversions and
// keeps their median.
#pragma once

#include "UniversalConverter.h"

#define UC_ADDON_CONVERSIONS 5

typedef struct ValueHandlerRecord* le_ExtAdcAddON_ValueHandlerRef_t;
typedef struct AlertHandlerRecord* le_ExtAdcAddON_AlertHandlerRef_t;

extern MinMaxADC MinMaxADCAddON1, MinMaxADCAddON2;
extern EdgeADC EdgeADCAddON1, EdgeADCAddON2;
extern uint32_t SavedAddON1, SavedAddON2;

// The defaults of StartUC for two channels. Run again while built, it brings the settings back to
// the defaults and keeps the lock, the pools, the registered handlers and a running looper.
void StartAddONUC(void);
uint8_t ReadWAddON(uint8_t address, uint8_t config, uint8_t* buffer);

le_result_t le_ExtAdcAddON_SetDeviceAddress(uint8_t index);
void le_ExtAdcAddON_SetInterface(uint8_t channelMask, uint32_t interfaceType);
le_result_t le_ExtAdcAddON_SetGain(uint8_t channelMask, uint32_t gain);
le_result_t le_ExtAdcAddON_SetConversionSpeed(uint32_t speed);
le_result_t le_ExtAdcAddON_SetConverter(uint8_t channelMask, double min, double max);
le_result_t le_ExtAdcAddON_SetEdges(uint8_t channelMask, double low, double high, double hysteresis);
le_result_t le_ExtAdcAddON_SetFileDescriptor(const char* path);
le_result_t le_ExtAdcAddON_SetInterval(uint32_t intervalMs);
// Ends the looper's wait at the end of the second it comes in, as on the base converter.
void le_ExtAdcAddON_MeasureNow(void);
void le_ExtAdcAddON_MutexLock(void);
void le_ExtAdcAddON_MutexUnlock(void);
// Channels 1 and 2 only; LE_UNAVAILABLE before StartAddONUC.
le_result_t le_ExtAdcAddON_GetValue(IOT_ADC channel, uint16_t* rawDataPtr, double* percentagePtr,
                                    double* convertedValuePtr);
le_ExtAdcAddON_ValueHandlerRef_t le_ExtAdcAddON_AddOnValueHandler(uint8_t channelMask,
                                                                  le_ExtAdc_ValueHandlerFunc_t handler,
                                                                  void* contextPtr);
void le_ExtAdcAddON_RemoveOnValueHandler(le_ExtAdcAddON_ValueHandlerRef_t handlerRef);
le_ExtAdcAddON_AlertHandlerRef_t le_ExtAdcAddON_AddOnAlertHandler(uint8_t channelMask,
                                                                  le_ExtAdc_AlertHandlerFunc_t handler,
                                                                  void* contextPtr);
void le_ExtAdcAddON_RemoveOnAlertHandler(le_ExtAdcAddON_AlertHandlerRef_t handlerRef);
bool IsHandlerActiveAddON(void);
void* LooperAddON(void* contextPtr);
// Whether the add-on looper thread is meant to run.
bool UCAddONLooperRunning(void);
