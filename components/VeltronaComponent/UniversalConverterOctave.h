// The converter's Data Hub binding: its settings, and four channel groups "uc_input1" to
// "uc_input4" that publish the reading as a percentage from their own timers or on a trigger.
#pragma once

#include "UniversalConverter.h"
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
    const struct ConverterBinding* binding;   // the converter binding the channel belongs to
    bool measuring;        // a measurement is queued or under way for the channel
    unsigned generation;   // counts the channel's teardowns: a result for an older one is dropped
}
InputRecord;

// What differs between the base board's converter binding and the add-on board's: paths, channels,
// the gain resource and the driver operations. The settings handlers get the binding as their
// context and the channel handlers and timers their channel record, which names its binding: the
// handlers below serve both.
struct ConverterBinding
{
    const char* prefix;   // "" or "addon/"
    InputRecord* const* inputs;
    size_t inputCount;
    bool hasGain;
    bool stopTimersOnTeardown;
    io_NumericPushHandlerRef_t* addressHandler;
    io_BooleanPushHandlerRef_t* resolutionHandler;
    le_result_t (*getValue)(IOT_ADC channel, uint16_t* rawDataPtr, double* percentagePtr, double* convertedValuePtr);
    le_result_t (*setDeviceAddress)(uint8_t index);
    le_result_t (*setConversionSpeed)(uint32_t speed);
    void (*setInterface)(uint8_t channelMask, uint32_t interfaceType);
    le_result_t (*setGain)(uint8_t channelMask, uint32_t gain);   // with the gain resource only
};

// Settings and channel resources with their handlers, teardown and publishing.
void BindingCreate(const ConverterBinding* b);
void BindingDeleteEvents(const ConverterBinding* b);
void BindingDeleteResources(const ConverterBinding* b);

extern SettingsUC_t SettingsUC;
extern InputRecord Input1, Input2, Input3, Input4;

void InitUC(uint8_t mode);
void DeleteSettingsEventsUC(uint8_t keep);
void DeleteMainResourcesUC(uint8_t keep);
// Queues a measurement of the channel on the measuring thread (unless one is queued or under way)
// and pushes its result from the loop.
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
