#include "UniversalConverterOctaveAddON.h"
#include "UniversalConverterAddON.h"

SettingsAddONUC_t SettingsAddONUC;
InputRecord InputAddON1, InputAddON2;

namespace
{
InputRecord* const InputsAddON[2] = {&InputAddON1, &InputAddON2};

const ConverterBinding AddONBinding = {
    "addon/", InputsAddON, 2, false, true, &SettingsAddONUC.addressHandler, &SettingsAddONUC.resolutionHandler,
    le_ExtAdcAddON_GetValue, le_ExtAdcAddON_SetDeviceAddress, le_ExtAdcAddON_SetConversionSpeed,
    le_ExtAdcAddON_SetInterface, nullptr};
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
