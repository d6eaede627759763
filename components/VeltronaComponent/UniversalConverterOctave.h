// The converter's Data Hub binding: its settings, and four channel groups "uc_input1" to
// "uc_input4" that publish the reading as a percentage from their own timers or on a trigger.
#pragma once

#include "legato.h"

#define UC_VALUE_PATH_MAX 51

typedef struct
{
    uint8_t addOnType;   // first field: written by the add-on selection handler
    io_NumericPushHandlerRef_t addOnTypeHandler;
    io_NumericPushHandlerRef_t addressHandler;
    io_BooleanPushHandlerRef_t resolutionHandler;
}
SettingsUC_t;

typedef struct
{
    bool enable;
    double period;   // seconds; 0 when no valid period is set
    le_timer_Ref_t timer;
    char valuePath[UC_VALUE_PATH_MAX + 1];
    uint32_t channel;   // IOT_ADC
    uint32_t interfaceType;
    uint32_t gain;
    io_TriggerPushHandlerRef_t triggerHandler;
    io_NumericPushHandlerRef_t interfaceHandler;
    io_BooleanPushHandlerRef_t enableHandler;
    io_NumericPushHandlerRef_t periodHandler;
    io_NumericPushHandlerRef_t gainHandler;
}
InputRecord;

extern SettingsUC_t SettingsUC;
extern InputRecord Input1, Input2, Input3, Input4;

void InitUC(uint8_t mode);
void DeleteSettingsEventsUC(uint8_t keep);
void DeleteMainResourcesUC(uint8_t keep);
void UpdateData(InputRecord* input);

// The binding's timer and push handlers, named as the gateway's are, hence a namespace of their own.
namespace UniversalConverterOctave
{
void Timer(le_timer_Ref_t timer);
void HandleSettingsAddressPush(double timestamp, double value, void* contextPtr);
void HandleSettingsHighResolutionPush(double timestamp, bool value, void* contextPtr);
void HandleInterfacePush(double timestamp, double value, void* contextPtr);
void HandleGainPush(double timestamp, double value, void* contextPtr);
void HandleIntervalPush(double timestamp, double value, void* contextPtr);
void HandleEnablePush(double timestamp, bool value, void* contextPtr);
void HandleTriggerPush(double timestamp, void* contextPtr);
}

// A pushed number as an unsigned 32-bit value: truncated toward zero, negative values 0, values
// beyond the range 4294967295.
uint32_t ToUnsigned32(double value);
// Rounds toward zero into the signed 32-bit range; NaN gives 0.
int32_t ToSigned32(double value);
