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

// The operations of le_ExtAdc on this instance; channels 1 and 2 only.
UC_DECLARE_OPERATIONS(le_ExtAdcAddON)
bool IsHandlerActiveAddON(void);
void* LooperAddON(void* contextPtr);
// Whether the add-on looper thread is meant to run.
bool UCAddONLooperRunning(void);
