#include "UniversalConverterOctaveAddON.h"
#include "UniversalConverterAddON.h"

SettingsAddONUC_t SettingsAddONUC;
InputRecord InputAddON1, InputAddON2;

using namespace UniversalConverterOctaveAddON;

namespace
{
InputRecord* const InputsAddON[2] = {&InputAddON1, &InputAddON2};

le_result_t NoGain(uint8_t, uint32_t)
{
    return LE_OK;
}

const ConverterBinding AddONBinding = {
    "addon/", InputsAddON, 2, false, true, &SettingsAddONUC, &SettingsAddONUC.addressHandler,
    &SettingsAddONUC.resolutionHandler, le_ExtAdcAddON_GetValue, le_ExtAdcAddON_SetDeviceAddress,
    le_ExtAdcAddON_SetConversionSpeed, le_ExtAdcAddON_SetInterface, NoGain, TimerAddON, HandleSettingsAddressPushAddON,
    HandleSettingsHighResolutionPushAddON, HandleInterfacePushAddON, nullptr, HandleEnablePushAddON,
    HandleIntervalPushAddON, HandleTriggerPushAddON};
}

void InitAddONUC(void)
{
    BindingCreate(&AddONBinding);
}

void DeleteSettingsEventsAddONUC(void)
{
    BindingDeleteEvents(&AddONBinding);
}

void DeleteMainResourcesAddONUC(void)
{
    DeleteSettingsEventsAddONUC();
    BindingDeleteResources(&AddONBinding);
}

void UpdateDataAddON(InputRecord* input)
{
    BindingUpdateData(input);
}

namespace UniversalConverterOctaveAddON
{
void TimerAddON(le_timer_Ref_t timer)
{
    BindingTimer(&AddONBinding, timer);
}

void HandleSettingsAddressPushAddON(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    LE_UNUSED(contextPtr);
    BindingAddressPush(&AddONBinding, value);
}

void HandleSettingsHighResolutionPushAddON(double timestamp, bool value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    LE_UNUSED(contextPtr);
    BindingResolutionPush(&AddONBinding, value);
}

void HandleInterfacePushAddON(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    BindingInterfacePush(static_cast<InputRecord*>(contextPtr), value);
}

void HandleEnablePushAddON(double timestamp, bool value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    BindingEnablePush(static_cast<InputRecord*>(contextPtr), value);
}

void HandleIntervalPushAddON(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    BindingIntervalPush(static_cast<InputRecord*>(contextPtr), value);
}

void HandleTriggerPushAddON(double timestamp, void* contextPtr)
{
    LE_UNUSED(timestamp);
    BindingTriggerPush(static_cast<InputRecord*>(contextPtr));
}
}
