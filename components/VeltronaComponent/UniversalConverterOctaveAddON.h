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

// The add-on's records carry their binding, so its handlers are the base binding's.
inline constexpr auto& UpdateDataAddON = UpdateData;
namespace UniversalConverterOctaveAddON
{
inline constexpr auto& TimerAddON = UniversalConverterOctave::Timer;
inline constexpr auto& HandleSettingsAddressPushAddON = UniversalConverterOctave::HandleSettingsAddressPush;
inline constexpr auto& HandleSettingsHighResolutionPushAddON = UniversalConverterOctave::HandleSettingsHighResolutionPush;
inline constexpr auto& HandleInterfacePushAddON = UniversalConverterOctave::HandleInterfacePush;
inline constexpr auto& HandleEnablePushAddON = UniversalConverterOctave::HandleEnablePush;
inline constexpr auto& HandleIntervalPushAddON = UniversalConverterOctave::HandleIntervalPush;
inline constexpr auto& HandleTriggerPushAddON = UniversalConverterOctave::HandleTriggerPush;
}
