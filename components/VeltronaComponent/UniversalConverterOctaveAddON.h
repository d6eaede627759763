// The add-on converter's Data Hub binding under "addon/": its two settings and two channel groups
// "addon/uc_input1" and "addon/uc_input2", without gain, built while add-on type 6 is selected.
#pragma once

#include "UniversalConverterOctave.h"

typedef struct
{
    io_NumericPushHandlerRef_t addressHandler;      // "addon/settings/i2c_address"
    io_BooleanPushHandlerRef_t resolutionHandler;   // "addon/settings/i2c_high_resolution"
}
SettingsAddONUC_t;

extern SettingsAddONUC_t SettingsAddONUC;
extern InputRecord InputAddON1, InputAddON2;

void InitAddONUC(void);
// Stops the channel timers and removes every handler of the binding; harmless when nothing is built.
void DeleteSettingsEventsAddONUC(void);
// The handlers, then the twelve resources by path.
void DeleteMainResourcesAddONUC(void);
void UpdateDataAddON(InputRecord* input);

namespace UniversalConverterOctaveAddON
{
void TimerAddON(le_timer_Ref_t timer);
void HandleSettingsAddressPushAddON(double timestamp, double value, void* contextPtr);
void HandleSettingsHighResolutionPushAddON(double timestamp, bool value, void* contextPtr);
void HandleInterfacePushAddON(double timestamp, double value, void* contextPtr);
void HandleEnablePushAddON(double timestamp, bool value, void* contextPtr);
void HandleIntervalPushAddON(double timestamp, double value, void* contextPtr);
void HandleTriggerPushAddON(double timestamp, void* contextPtr);
}
