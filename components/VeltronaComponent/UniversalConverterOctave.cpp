#include "UniversalConverterOctave.h"
#include "ServiceOctaveGPIO.h"
#include "UniversalConverter.h"

#include <cmath>
#include <cstdio>
#include <cstring>
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

const ConverterBinding BaseBinding = {
    "", Inputs, 4, true, false, &SettingsUC.addressHandler, &SettingsUC.resolutionHandler, le_ExtAdc_GetValue,
    le_ExtAdc_SetDeviceAddress, le_ExtAdc_SetConversionSpeed, le_ExtAdc_SetInterface, le_ExtAdc_SetGain};

// The context the settings handlers get: the binding they belong to.
void* ContextOf(const ConverterBinding* b)
{
    return const_cast<ConverterBinding*>(b);
}

InputRecord* InputOf(void* contextPtr)
{
    return static_cast<InputRecord*>(contextPtr);
}

std::string SettingPath(const ConverterBinding* b, const char* leaf)
{
    return std::string(b->prefix) + "settings/" + leaf;
}

std::string ChannelPath(const ConverterBinding* b, int n, const char* leaf)
{
    char path[UC_VALUE_PATH_MAX + 1];
    snprintf(path, sizeof(path), "%suc_input%d/%s", b->prefix, n, leaf);
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

//--------------------------------------------------------------------------------------------------
// The shared binding
//--------------------------------------------------------------------------------------------------
void BindingCreate(const ConverterBinding* b)
{
    std::string address = SettingPath(b, "i2c_address");
    if (io_CreateOutput(address.c_str(), IO_DATA_TYPE_NUMERIC, "") == LE_OK)
        io_SetNumericDefault(address.c_str(), 0);
    else
        LE_INFO("Failed to create Settings I2C Address");
    *b->addressHandler = io_AddNumericPushHandler(address.c_str(), HandleSettingsAddressPush, ContextOf(b));

    std::string resolution = SettingPath(b, "i2c_high_resolution");
    if (io_CreateOutput(resolution.c_str(), IO_DATA_TYPE_BOOLEAN, "") == LE_OK)
        io_SetBooleanDefault(resolution.c_str(), true);
    else
        LE_INFO("Failed to create Settings Resolution");
    *b->resolutionHandler =
        io_AddBooleanPushHandler(resolution.c_str(), HandleSettingsHighResolutionPush, ContextOf(b));

    for (int n = 1; n <= static_cast<int>(b->inputCount); n++)
    {
        InputRecord* input = b->inputs[n - 1];
        char digit[2] = {static_cast<char>('0' + n), '\0'};
        // A rebuilt binding starts from the defaults; the Data Hub then delivers what is set.
        input->enable = false;
        input->period = 0;
        input->interfaceType = 0;
        input->gain = 0;
        input->binding = b;
        input->channel = ChannelValues[n - 1];
        if (input->timer == nullptr)
        {
            std::string timerName = std::string(b->prefix) + "uc_input" + digit;
            input->timer = le_timer_Create(timerName.c_str());
            le_timer_SetRepeat(input->timer, 0);
            le_timer_SetHandler(input->timer, Timer);
            le_timer_SetContextPtr(input->timer, input);
        }

        le_utf8_Copy(input->valuePath, ChannelPath(b, n, "value").c_str(), sizeof(input->valuePath), nullptr);
        if (io_CreateInput(input->valuePath, IO_DATA_TYPE_NUMERIC, "percent") != LE_OK)
            LE_INFO("Failed to create Data Hub Input %s", digit);

        std::string enable = ChannelPath(b, n, "enable");
        if (io_CreateOutput(enable.c_str(), IO_DATA_TYPE_BOOLEAN, "") == LE_OK)
            io_SetBooleanDefault(enable.c_str(), false);
        else
            LE_INFO("Failed to create Data Hub Output %s", digit);
        input->enableHandler = io_AddBooleanPushHandler(enable.c_str(), HandleEnablePush, input);

        std::string period = ChannelPath(b, n, "period");
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

        std::string trigger = ChannelPath(b, n, "trigger");
        if (io_CreateOutput(trigger.c_str(), IO_DATA_TYPE_TRIGGER, "") == LE_OK)
            io_MarkOptional(trigger.c_str());
        else
            LE_INFO("Failed to create Data Hub Output Duplicate Trigger %s", digit);
        input->triggerHandler = io_AddTriggerPushHandler(trigger.c_str(), HandleTriggerPush, input);

        std::string interface = ChannelPath(b, n, "interface");
        CreateNumericOutput(interface, "", 0, "Failed to create Data Hub Output Numeric %s", digit);
        input->interfaceHandler = io_AddNumericPushHandler(interface.c_str(), HandleInterfacePush, input);

        if (!b->hasGain) continue;
        std::string gain = ChannelPath(b, n, "gain");
        CreateNumericOutput(gain, "", 0, "Failed to create Data Hub Output Numeric %s", digit);
        input->gainHandler = io_AddNumericPushHandler(gain.c_str(), HandleGainPush, input);
    }
}

void BindingDeleteEvents(const ConverterBinding* b)
{
    for (size_t i = 0; i < b->inputCount; i++)
    {
        InputRecord* input = b->inputs[i];
        // A measurement under way belongs to the channel as it was: its result is not pushed.
        input->generation++;
        input->measuring = false;
        if (b->stopTimersOnTeardown && input->timer != nullptr) le_timer_Stop(input->timer);
        RemovePushHandler(input->interfaceHandler, io_RemoveNumericPushHandler);
        RemovePushHandler(input->gainHandler, io_RemoveNumericPushHandler);
        RemovePushHandler(input->periodHandler, io_RemoveNumericPushHandler);
        RemovePushHandler(input->enableHandler, io_RemoveBooleanPushHandler);
        RemovePushHandler(input->triggerHandler, io_RemoveTriggerPushHandler);
    }
    RemovePushHandler(*b->resolutionHandler, io_RemoveBooleanPushHandler);
    RemovePushHandler(*b->addressHandler, io_RemoveNumericPushHandler);
}

void BindingDeleteResources(const ConverterBinding* b)
{
    io_DeleteResource(SettingPath(b, "i2c_address").c_str());
    io_DeleteResource(SettingPath(b, "i2c_high_resolution").c_str());
    for (int n = 1; n <= static_cast<int>(b->inputCount); n++)
    {
        for (const char* leaf : {"value", "enable", "period", "trigger", "interface", "gain"})
        {
            if (!b->hasGain && strcmp(leaf, "gain") == 0) continue;
            io_DeleteResource(ChannelPath(b, n, leaf).c_str());
        }
    }
}

namespace
{
// A measurement takes half a second at 16 bits: it runs on a thread of its own, one at a time (the
// driver's lock also keeps it apart from the looper), and its result is pushed from the loop, which
// waits for none of it. A channel has at most one measurement queued or under way; a trigger or a
// period that comes meanwhile is served by it.
le_thread_Ref_t MeasureThread = nullptr;
le_thread_Ref_t LoopThread = nullptr;

struct MeasureJob
{
    InputRecord* input;
    unsigned generation;   // the channel's, when the job was queued
    le_result_t (*getValue)(IOT_ADC channel, uint16_t* rawDataPtr, double* percentagePtr, double* convertedValuePtr);
    IOT_ADC channel;
    le_result_t result;
    double percentage;
};

void* MeasureThreadMain(void*)
{
    le_event_RunLoop();
    return nullptr;
}

void PushMeasured(void* jobPtr, void*)
{
    auto* job = static_cast<MeasureJob*>(jobPtr);
    InputRecord* input = job->input;
    le_result_t r = job->result;
    double percentage = job->percentage;
    bool current = job->generation == input->generation;
    delete job;
    if (!current) return;   // the channel was torn down meanwhile
    input->measuring = false;
    // Out of range is a reading (the over-range percentage, or 0 below a live zero); a failed
    // measurement is none, and the last value pushed stays.
    if (r != LE_OK && r != LE_OVERFLOW && r != LE_UNDERFLOW)
    {
        LE_INFO("Value not pushed to %s: the measurement failed (%s)", input->valuePath, LE_RESULT_TXT(r));
        return;
    }
    io_PushNumeric(input->valuePath, IO_NOW, percentage);
    LE_INFO("Value Pushed.");
}

void Measure(void* jobPtr, void*)
{
    auto* job = static_cast<MeasureJob*>(jobPtr);
    job->percentage = 0;
    job->result = job->getValue(job->channel, nullptr, &job->percentage, nullptr);
    le_event_QueueFunctionToThread(LoopThread, PushMeasured, job, nullptr);
}
}

void UpdateData(InputRecord* input)
{
    if (input->measuring) return;   // the measurement queued or under way serves this one too
    if (MeasureThread == nullptr)
    {
        LoopThread = le_thread_GetCurrent();
        MeasureThread = le_thread_Create("Measure", MeasureThreadMain, nullptr);
        le_thread_Start(MeasureThread);
    }
    input->measuring = true;
    auto* job = new MeasureJob{input, input->generation, input->binding->getValue,
                               static_cast<IOT_ADC>(input->channel), LE_OK, 0};
    le_event_QueueFunctionToThread(MeasureThread, Measure, job, nullptr);
}

namespace UniversalConverterOctave
{
void Timer(le_timer_Ref_t timer)
{
    UpdateData(InputOf(le_timer_GetContextPtr(timer)));
}

void HandleSettingsAddressPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    auto index = static_cast<uint8_t>(ToUnsigned32(value) & 0xFF);
    static_cast<const ConverterBinding*>(contextPtr)->setDeviceAddress(index);
}

void HandleSettingsHighResolutionPush(double timestamp, bool value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    static_cast<const ConverterBinding*>(contextPtr)->setConversionSpeed(value ? 1 : 0);
    LE_INFO(value ? "High precision" : "Low precision");
}

void HandleInterfacePush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    InputRecord* input = InputOf(contextPtr);
    input->interfaceType = ToUnsigned32(value) & 0xFF;
    input->binding->setInterface(static_cast<uint8_t>(input->channel), input->interfaceType);
}

void HandleGainPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    InputRecord* input = InputOf(contextPtr);
    uint32_t gain = ToUnsigned32(value) & 0xFF;
    if (gain <= 3) input->gain = gain;
    input->binding->setGain(static_cast<uint8_t>(input->channel), input->gain);
}

void HandleEnablePush(double timestamp, bool value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    InputRecord* input = InputOf(contextPtr);
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
    InputRecord* input = InputOf(contextPtr);
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
    InputRecord* input = InputOf(contextPtr);
    if (!input->enable) return;
    UpdateData(input);
    LE_INFO("Trigger fired.");
}
}

//--------------------------------------------------------------------------------------------------
// The base board's converter binding
//--------------------------------------------------------------------------------------------------
void InitUC(uint8_t mode)
{
    if (io_CreateOutput("settings/addon_type", IO_DATA_TYPE_NUMERIC, "") == LE_OK)
        io_SetNumericDefault("settings/addon_type", 0);
    else
        LE_INFO("Failed to create Settings AddOn Type");
    SettingsUC.addOnTypeHandler = io_AddNumericPushHandler("settings/addon_type", HandleSettingsAddOnPush, &SettingsUC);
    if (mode != 2) return;
    BindingCreate(&BaseBinding);
}

void DeleteSettingsEventsUC(uint8_t keep)
{
    BindingDeleteEvents(&BaseBinding);
    if (keep == 0) RemovePushHandler(SettingsUC.addOnTypeHandler, io_RemoveNumericPushHandler);
}

void DeleteMainResourcesUC(uint8_t keep)
{
    LE_INFO("Clear Main Resources.");
    DeleteSettingsEventsUC(keep);
    if (keep == 0) io_DeleteResource("settings/addon_type");
    BindingDeleteResources(&BaseBinding);
}

