// Module GPIO pins through the bindings le_gpioPin8, le_gpioPin13, le_gpioPin33 and le_gpioPin42.
// On a host the pins are simulated: what the component drives is recorded, and inputs are set by
// the simulation (pa_gpioSim_*), which raises change events on the loop of the thread that registered.
#pragma once

#include "le_basics.h"

typedef enum
{
    LE_GPIO_ACTIVE_HIGH = 0,
    LE_GPIO_ACTIVE_LOW = 1
}
le_gpio_Polarity_t;

typedef enum
{
    LE_GPIO_EDGE_NONE = 0,
    LE_GPIO_EDGE_RISING = 1,
    LE_GPIO_EDGE_FALLING = 2,
    LE_GPIO_EDGE_BOTH = 3
}
le_gpio_Edge_t;

typedef void (*le_gpio_ChangeCallbackFunc_t)(bool state, void* contextPtr);
typedef struct le_gpio_ChangeEventHandler* le_gpio_ChangeEventHandlerRef_t;

#define LE_GPIO_DECLARE_PIN(N)                                                                              \
    typedef le_gpio_Polarity_t le_gpioPin##N##_Polarity_t;                                                  \
    typedef le_gpio_Edge_t le_gpioPin##N##_Edge_t;                                                          \
    typedef le_gpio_ChangeCallbackFunc_t le_gpioPin##N##_ChangeCallbackFunc_t;                              \
    typedef le_gpio_ChangeEventHandlerRef_t le_gpioPin##N##_ChangeEventHandlerRef_t;                        \
    le_result_t le_gpioPin##N##_TryConnectService(void);                                                    \
    void le_gpioPin##N##_ConnectService(void);                                                              \
    void le_gpioPin##N##_DisconnectService(void);                                                           \
    le_result_t le_gpioPin##N##_EnablePullUp(void);                                                         \
    le_result_t le_gpioPin##N##_EnablePullDown(void);                                                       \
    le_result_t le_gpioPin##N##_DisableResistors(void);                                                     \
    le_result_t le_gpioPin##N##_SetPushPullOutput(le_gpio_Polarity_t polarity, bool value);                 \
    le_result_t le_gpioPin##N##_SetInput(le_gpio_Polarity_t polarity);                                      \
    le_result_t le_gpioPin##N##_Activate(void);                                                             \
    le_result_t le_gpioPin##N##_Deactivate(void);                                                           \
    bool le_gpioPin##N##_Read(void);                                                                        \
    le_gpio_ChangeEventHandlerRef_t le_gpioPin##N##_AddChangeEventHandler(                                  \
        le_gpio_Edge_t trigger, le_gpio_ChangeCallbackFunc_t handler, void* contextPtr, int32_t sampleMs); \
    void le_gpioPin##N##_RemoveChangeEventHandler(le_gpio_ChangeEventHandlerRef_t handlerRef);             \
    le_result_t le_gpioPin##N##_DisableEdgeSense(void);

LE_GPIO_DECLARE_PIN(8)
LE_GPIO_DECLARE_PIN(13)
LE_GPIO_DECLARE_PIN(33)
LE_GPIO_DECLARE_PIN(42)

#define LE_GPIOPIN8_ACTIVE_HIGH LE_GPIO_ACTIVE_HIGH
#define LE_GPIOPIN13_ACTIVE_HIGH LE_GPIO_ACTIVE_HIGH
#define LE_GPIOPIN33_ACTIVE_HIGH LE_GPIO_ACTIVE_HIGH
#define LE_GPIOPIN42_ACTIVE_HIGH LE_GPIO_ACTIVE_HIGH
#define LE_GPIOPIN8_EDGE_BOTH LE_GPIO_EDGE_BOTH
#define LE_GPIOPIN13_EDGE_BOTH LE_GPIO_EDGE_BOTH
#define LE_GPIOPIN33_EDGE_BOTH LE_GPIO_EDGE_BOTH
#define LE_GPIOPIN42_EDGE_BOTH LE_GPIO_EDGE_BOTH

//--------------------------------------------------------------------------------------------------
// Simulation side
//--------------------------------------------------------------------------------------------------
typedef struct
{
    bool connected;
    bool pullUp;
    bool pullDown;
    bool isOutput;
    le_gpio_Polarity_t polarity;
    bool level;             // electrical level (driven by the component or set by the simulation)
    le_gpio_Edge_t edge;    // edge sensing requested by the component
    size_t handlerCount;
    unsigned writeCount;    // output changes made by the component
}
pa_gpioSim_State_t;

// false for a pin number the module does not offer.
bool pa_gpioSim_GetState(int pin, pa_gpioSim_State_t* statePtr);
// Sets the level the outside world puts on the pin. While the pin is an input it carries that
// level, and change handlers whose edge matches are queued on their threads; an output keeps what it
// drives and shows the outside level once it is made an input. A pin the outside world has never
// driven reads what its pull-up gives it (low without one).
bool pa_gpioSim_SetInputLevel(int pin, bool level);
// Back to the state at load: nothing connected, configured or driven, no handlers.
void pa_gpioSim_Reset(void);
