#include "UniversalConverterOctave.h"
#include "ServiceOctaveGPIO.h"
#include "UniversalConverter.h"

#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <string>

SettingsUC_t SettingsUC;
InputRecord Input1, Input2, Input3, Input4;

using namespace UniversalConverterOctave;

namespace
{
InputRecord* const Inputs[4] = {&Input1, &Input2, &Input3, &Input4};
const uint32_t ChannelValues[4] = {ADC1, ADC2, ADC3, ADC4};
const double MinPeriodS = 0.9;            // a period must be above this
const double MaxPeriodS = 2147483647.0;   // and at most this

std::string ChannelPath(int n, const char* leaf)
{
    char path[UC_VALUE_PATH_MAX + 1];
    snprintf(path, sizeof(path), "uc_input%d/%s", n, leaf);
    return path;
}

void CreateNumericOutput(const std::string& path, const char* units, double defaultValue, const char* failure,
                         const char* digit)
{
    if (io_CreateOutput(path.c_str(), IO_DATA_TYPE_NUMERIC, units) == LE_OK)
        io_SetNumericDefault(path.c_str(), defaultValue);
    else
        LE_INFO(failure, digit);
}

void StartTimerFor(InputRecord* input)
{
    le_timer_SetMsInterval(input->timer, ToUnsigned32(input->period * 1000.0));
    le_timer_Start(input->timer);
}
}

uint32_t ToUnsigned32(double value)
{
    if (!(value > 0)) return 0;   // negative and NaN
    if (value >= 4294967295.0) return 4294967295u;
    return static_cast<uint32_t>(value);
}

int32_t ToSigned32(double value)
{
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return 2147483647;
    if (value <= -2147483648.0) return -2147483647 - 1;
    return static_cast<int32_t>(value);
}

void InitUC(uint8_t mode)
{
    if (io_CreateOutput("settings/addon_type", IO_DATA_TYPE_NUMERIC, "") == LE_OK)
        io_SetNumericDefault("settings/addon_type", 0);
    else
        LE_INFO("Failed to create Settings AddOn Type");
    SettingsUC.addOnTypeHandler = io_AddNumericPushHandler("settings/addon_type", HandleSettingsAddOnPush, &SettingsUC);
    if (mode != 2) return;

    if (io_CreateOutput("settings/i2c_address", IO_DATA_TYPE_NUMERIC, "") == LE_OK)
        io_SetNumericDefault("settings/i2c_address", 0);
    else
        LE_INFO("Failed to create Settings I2C Address");
    SettingsUC.addressHandler = io_AddNumericPushHandler("settings/i2c_address", HandleSettingsAddressPush, &SettingsUC);

    if (io_CreateOutput("settings/i2c_high_resolution", IO_DATA_TYPE_BOOLEAN, "") == LE_OK)
        io_SetBooleanDefault("settings/i2c_high_resolution", true);
    else
        LE_INFO("Failed to create Settings Resolution");
    SettingsUC.resolutionHandler =
        io_AddBooleanPushHandler("settings/i2c_high_resolution", HandleSettingsHighResolutionPush, &SettingsUC);

    for (int n = 1; n <= 4; n++)
    {
        InputRecord* input = Inputs[n - 1];
        char digit[2] = {static_cast<char>('0' + n), '\0'};
        input->channel = ChannelValues[n - 1];
        std::string timerName = "uc_input" + std::string(digit);
        input->timer = le_timer_Create(timerName.c_str());
        le_timer_SetRepeat(input->timer, 0);
        le_timer_SetHandler(input->timer, Timer);

        le_utf8_Copy(input->valuePath, ChannelPath(n, "value").c_str(), sizeof(input->valuePath), nullptr);
        if (io_CreateInput(input->valuePath, IO_DATA_TYPE_NUMERIC, "percent") != LE_OK)
            LE_INFO("Failed to create Data Hub Input %s", digit);

        std::string enable = ChannelPath(n, "enable");
        if (io_CreateOutput(enable.c_str(), IO_DATA_TYPE_BOOLEAN, "") == LE_OK)
            io_SetBooleanDefault(enable.c_str(), false);
        else
            LE_INFO("Failed to create Data Hub Output %s", digit);
        input->enableHandler = io_AddBooleanPushHandler(enable.c_str(), HandleEnablePush, input);

        std::string period = ChannelPath(n, "period");
        if (io_CreateOutput(period.c_str(), IO_DATA_TYPE_NUMERIC, "s") == LE_OK)
        {
            io_SetNumericDefault(period.c_str(), 0);
        }
        else
        {
            LE_INFO("%s", period.c_str());
            LE_INFO("Failed to create Data Hub Output Numeric %s", digit);
        }
        input->periodHandler = io_AddNumericPushHandler(period.c_str(), HandleIntervalPush, input);

        std::string trigger = ChannelPath(n, "trigger");
        if (io_CreateOutput(trigger.c_str(), IO_DATA_TYPE_TRIGGER, "") == LE_OK)
            io_MarkOptional(trigger.c_str());
        else
            LE_INFO("Failed to create Data Hub Output Duplicate Trigger %s", digit);
        input->triggerHandler = io_AddTriggerPushHandler(trigger.c_str(), HandleTriggerPush, input);

        std::string interface = ChannelPath(n, "interface");
        CreateNumericOutput(interface, "", 0, "Failed to create Data Hub Output Numeric %s", digit);
        input->interfaceHandler = io_AddNumericPushHandler(interface.c_str(), HandleInterfacePush, input);

        std::string gain = ChannelPath(n, "gain");
        CreateNumericOutput(gain, "", 0, "Failed to create Data Hub Output Numeric %s", digit);
        input->gainHandler = io_AddNumericPushHandler(gain.c_str(), HandleGainPush, input);
    }
}

void DeleteSettingsEventsUC(uint8_t keep)
{
    for (InputRecord* input : Inputs)
    {
        RemovePushHandler(input->interfaceHandler, io_RemoveNumericPushHandler);
        RemovePushHandler(input->gainHandler, io_RemoveNumericPushHandler);
        RemovePushHandler(input->periodHandler, io_RemoveNumericPushHandler);
        RemovePushHandler(input->enableHandler, io_RemoveBooleanPushHandler);
        RemovePushHandler(input->triggerHandler, io_RemoveTriggerPushHandler);
    }
    RemovePushHandler(SettingsUC.resolutionHandler, io_RemoveBooleanPushHandler);
    RemovePushHandler(SettingsUC.addressHandler, io_RemoveNumericPushHandler);
    if (keep == 0) RemovePushHandler(SettingsUC.addOnTypeHandler, io_RemoveNumericPushHandler);
}

void DeleteMainResourcesUC(uint8_t keep)
{
    LE_INFO("Clear Main Resources.");
    DeleteSettingsEventsUC(keep);
    if (keep == 0) io_DeleteResource("settings/addon_type");
    io_DeleteResource("settings/i2c_address");
    io_DeleteResource("settings/i2c_high_resolution");
    for (int n = 1; n <= 4; n++)
    {
        for (const char* leaf : {"value", "enable", "period", "trigger", "interface", "gain"})
        {
            io_DeleteResource(ChannelPath(n, leaf).c_str());
        }
    }
}

void UpdateData(InputRecord* input)
{
    double percentage = 0;
    le_ExtAdc_GetValue(static_cast<IOT_ADC>(input->channel), nullptr, &percentage, nullptr);
    io_PushNumeric(input->valuePath, IO_NOW, percentage);
    LE_INFO("Value Pushed.");
}

namespace UniversalConverterOctave
{
void Timer(le_timer_Ref_t timer)
{
    for (InputRecord* input : Inputs)
    {
        if (input->timer == timer)
        {
            UpdateData(input);
            return;
        }
    }
}

void HandleSettingsAddressPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    LE_UNUSED(contextPtr);
    le_ExtAdc_SetDeviceAddress(static_cast<uint8_t>(ToUnsigned32(value) & 0xFF));
}

void HandleSettingsHighResolutionPush(double timestamp, bool value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    LE_UNUSED(contextPtr);
    le_ExtAdc_SetConversionSpeed(value ? 1 : 0);
    LE_INFO(value ? "High precision" : "Low precision");
}

void HandleInterfacePush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto* input = static_cast<InputRecord*>(contextPtr);
    input->interfaceType = ToUnsigned32(value) & 0xFF;
    le_ExtAdc_SetInterface(static_cast<uint8_t>(input->channel), input->interfaceType);
}

void HandleGainPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto* input = static_cast<InputRecord*>(contextPtr);
    uint32_t gain = ToUnsigned32(value) & 0xFF;
    if (gain <= 3) input->gain = gain;
    le_ExtAdc_SetGain(static_cast<uint8_t>(input->channel), input->gain);
}

void HandleEnablePush(double timestamp, bool value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto* input = static_cast<InputRecord*>(contextPtr);
    input->enable = value;
    if (!value)
    {
        le_timer_Stop(input->timer);
        return;
    }
    if (input->period > MinPeriodS) StartTimerFor(input);
}

void HandleIntervalPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto* input = static_cast<InputRecord*>(contextPtr);
    if (value == input->period) return;
    if (value <= MinPeriodS || value > MaxPeriodS)
    {
        le_timer_Stop(input->timer);
        input->period = 0;
        return;
    }
    le_timer_SetMsInterval(input->timer, ToUnsigned32(value * 1000.0));
    if (input->period <= MinPeriodS && input->enable) le_timer_Start(input->timer);
    input->period = value;
}

void HandleTriggerPush(double timestamp, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto* input = static_cast<InputRecord*>(contextPtr);
    if (!input->enable) return;
    UpdateData(input);
    LE_INFO("Trigger fired.");
}
}
