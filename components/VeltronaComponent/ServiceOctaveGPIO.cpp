#include "ServiceOctaveGPIO.h"
#include "ModbusBoard8i8oOctave.h"
#include "ServiceOctaveGPIO_4I4O.h"
#include "ServiceOctaveGPIO_8I.h"
#include "ServiceOctaveGPIO_II.h"
#include "ServiceOctaveGPIO_OO.h"
#include "UniversalConverterOctave.h"
#include "UniversalConverterAddON.h"
#include "UniversalConverterOctaveAddON.h"

#include <cstdio>

GpioRecord_t GPIOS[GPIO_RECORDS];
io_NumericPushHandlerRef_t AddressHandlerGPIO_I2C = nullptr;

namespace
{
const char* const AddOnPaths[] = {
    "addon/input1",  "addon/input2",  "addon/input3",  "addon/input4",  "addon/input5",  "addon/input6",
    "addon/input7",  "addon/input8",  "addon/i2c_address", "addon/output1", "addon/output2", "addon/output3",
    "addon/output4", "addon/output5", "addon/output6", "addon/output7", "addon/output8",
};
}

#define GPIO_BINDING(N)                                                                                    \
    {                                                                                                      \
        le_gpioPin##N##_TryConnectService, le_gpioPin##N##_EnablePullUp, le_gpioPin##N##_SetPushPullOutput, \
            le_gpioPin##N##_SetInput, le_gpioPin##N##_Activate, le_gpioPin##N##_Deactivate,                \
            le_gpioPin##N##_Read, le_gpioPin##N##_AddChangeEventHandler,                                   \
            le_gpioPin##N##_RemoveChangeEventHandler                                                       \
    }

const GpioBinding_t GpioBindings[4] = {GPIO_BINDING(42), GPIO_BINDING(33), GPIO_BINDING(13), GPIO_BINDING(8)};

void SetGpioRecord(int n, const char* leaf)
{
    GpioRecord_t& record = GPIOS[n - 1];
    record.index = static_cast<uint8_t>(n);
    snprintf(record.path, sizeof(record.path), "addon%s%d", leaf, n);
}

void HandleSettingsAddOnPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    uint8_t type = static_cast<uint8_t>(ToUnsigned32(value) & 0xFF);
    if (contextPtr != nullptr) *static_cast<uint8_t*>(contextPtr) = type;

    le_gpioPin42_TryConnectService();
    le_gpioPin33_TryConnectService();
    le_gpioPin13_TryConnectService();
    le_gpioPin8_TryConnectService();

    DeleteAddOnResources(1);
    DeleteMainResourcesBoard8i8o();
    DeleteMainResourcesAddONUC();

    switch (type)
    {
        case 1:
            LE_INFO("Outputs ON.");
            Init1_I();
            Init2_I();
            break;
        case 2:
            LE_INFO("Inputs ON.");
            Init1_O();
            Init2_O();
            break;
        case 3:
            LE_INFO("Outputs/Inputs ON.");
            Init1_I();
            Init2_O();
            break;
        case 4:
            LE_INFO("8 Inputs ON.");
            Init_8Inputs();
            break;
        case 5:
            LE_INFO("Board 8i8o.");
            InitBoard8i8o();
            break;
        case 6:
            LE_INFO("UC2i.");
            InitAddONUC();
            StartAddONUC();
            break;
        case 7:
            LE_INFO("Board 4i4o.");
            Init_4I4O();
            break;
        default:
            break;
    }
}

void DeleteAddOnResources(uint8_t disableEdgeSense)
{
    LE_INFO("Clear AddOn Resources.");
    // Outputs go off first: once their resources are gone nothing could switch them off.
    for (int n = 1; n <= 4; n++)
    {
        if (GPIOS[n - 1].pushHandlerRef != nullptr) GpioBindings[n - 1].Deactivate();
    }
    SwitchOffOutputs4I4O();
    for (int n = 1; n <= GPIO_RECORDS; n++)
    {
        GpioRecord_t& record = GPIOS[n - 1];
        if (record.pushHandlerRef == nullptr) continue;
        if (n <= 4) LE_INFO("Clear IO Handler %d", n);
        RemovePushHandler(record.pushHandlerRef, io_RemoveBooleanPushHandler);
    }
    for (int n = 1; n <= 4; n++)
    {
        GpioRecord_t& record = GPIOS[n - 1];
        if (record.changeHandlerRef == nullptr) continue;
        LE_INFO("Clear IO Handler %d", n);
        GpioBindings[n - 1].RemoveChangeEventHandler(record.changeHandlerRef);
        record.changeHandlerRef = nullptr;
    }
    if (AddressHandlerGPIO_I2C != nullptr)
    {
        LE_INFO("Clear IO Address Handler GPIO I2C");
        RemovePushHandler(AddressHandlerGPIO_I2C, io_RemoveNumericPushHandler);
    }
    for (const char* path : AddOnPaths) io_DeleteResource(path);
    if (disableEdgeSense != 0)
    {
        le_gpioPin8_DisableEdgeSense();
        le_gpioPin13_DisableEdgeSense();
        le_gpioPin33_DisableEdgeSense();
        le_gpioPin42_DisableEdgeSense();
    }
}
