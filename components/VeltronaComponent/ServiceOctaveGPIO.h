// Add-on board selection and teardown, and the I/O records the add-on boards share.
#pragma once

#include "legato.h"

#define GPIO_RECORDS 8
#define GPIO_PATH_SIZE 50

// One add-on I/O point. Record N (1 to 8) is GPIOS[N - 1].
typedef struct
{
    uint8_t index;                                       // N once a board has used the record, else 0
    char path[GPIO_PATH_SIZE];                           // e.g. "addon/input3"
    uint8_t state;                                       // last level, 0 or 1 (expander boards)
    le_gpio_ChangeEventHandlerRef_t changeHandlerRef;    // GPIO change handler (records 1 to 4)
    io_BooleanPushHandlerRef_t pushHandlerRef;           // push handler of an output point
}
GpioRecord_t;

extern GpioRecord_t GPIOS[GPIO_RECORDS];

// The GPIO binding of records 1 to 4: le_gpioPin42, le_gpioPin33, le_gpioPin13, le_gpioPin8.
typedef struct
{
    le_result_t (*TryConnectService)(void);
    le_result_t (*EnablePullUp)(void);
    le_result_t (*SetPushPullOutput)(le_gpio_Polarity_t polarity, bool value);
    le_result_t (*SetInput)(le_gpio_Polarity_t polarity);
    le_result_t (*Activate)(void);
    le_result_t (*Deactivate)(void);
    bool (*Read)(void);
    le_gpio_ChangeEventHandlerRef_t (*AddChangeEventHandler)(le_gpio_Edge_t trigger,
                                                             le_gpio_ChangeCallbackFunc_t handler, void* contextPtr,
                                                             int32_t sampleMs);
    void (*RemoveChangeEventHandler)(le_gpio_ChangeEventHandlerRef_t handlerRef);
}
GpioBinding_t;

extern const GpioBinding_t GpioBindings[4];
// Push handler of "addon/i2c_address", shared by the two expander boards.
extern io_NumericPushHandlerRef_t AddressHandlerGPIO_I2C;

// Push handler of "settings/addon_type"; the context is the main mode's settings record, whose first
// byte receives the add-on type.
void HandleSettingsAddOnPush(double timestamp, double value, void* contextPtr);
// Removes every add-on handler and resource; a flag not 0 also turns edge sensing off on the four pins.
void DeleteAddOnResources(uint8_t disableEdgeSense);

// Sets record N's index and its path, "addon" joined with the leaf and the digit N.
void SetGpioRecord(int n, const char* leaf);
