#include "le_gpio.h"
#include "le_event.h"
#include "le_log.h"
#include "le_thread.h"
#include "pa_service.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace
{
struct ChangeHandler
{
    le_gpio_ChangeCallbackFunc_t func;
    void* context;
    le_thread_Ref_t thread;
};

struct Pin
{
    int number;
    pa_gpioSim_State_t state{};
    std::map<uintptr_t, ChangeHandler> handlers;
    bool outsideDrives = false;   // the outside world puts a level on the pin
    bool outsideLevel = false;
};

std::recursive_mutex PinMutex;
Pin Pins[] = {{8, {}, {}}, {13, {}, {}}, {33, {}, {}}, {42, {}, {}}};
uintptr_t NextHandler = 1;

Pin* Find(int number)
{
    for (Pin& p : Pins)
    {
        if (p.number == number) return &p;
    }
    return nullptr;
}

bool Logical(const Pin& p)
{
    return p.state.polarity == LE_GPIO_ACTIVE_LOW ? !p.state.level : p.state.level;
}

struct Change
{
    int pin;
    uintptr_t handler;
    bool state;
};

void RunChange(void* p1, void*)
{
    auto* c = static_cast<Change*>(p1);
    ChangeHandler h{};
    bool found = false;
    {
        std::lock_guard<std::recursive_mutex> lock(PinMutex);
        Pin* p = Find(c->pin);
        auto it = p->handlers.find(c->handler);
        if (it != p->handlers.end())
        {
            h = it->second;
            found = true;
        }
    }
    if (found) h.func(c->state, h.context);
    delete c;
}

void SetLevel(Pin* p, bool level)
{
    bool old = p->state.level;
    p->state.level = level;
    if (old == level) return;
    bool rising = level && !old;
    le_gpio_Edge_t edge = p->state.edge;
    bool fires = edge == LE_GPIO_EDGE_BOTH || (edge == LE_GPIO_EDGE_RISING && rising) ||
                 (edge == LE_GPIO_EDGE_FALLING && !rising);
    if (!fires) return;
    for (const auto& h : p->handlers)
    {
        le_event_QueueFunctionToThread(h.second.thread, RunChange, new Change{p->number, h.first, Logical(*p)}, nullptr);
    }
}

le_result_t TryConnect(int n)
{
    char name[24];
    snprintf(name, sizeof(name), "le_gpioPin%d", n);
    if (!pa_service_IsAvailable(name)) return LE_UNAVAILABLE;
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    Find(n)->state.connected = true;
    return LE_OK;
}

void Disconnect(int n)
{
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    Find(n)->state.connected = false;
}

// The level an input pin carries: what the outside world puts on it, else what its resistor pulls
// it to; an undriven pin without resistors reads low.
bool InputLevel(const Pin& p)
{
    if (p.outsideDrives) return p.outsideLevel;
    return p.state.pullUp;
}

le_result_t Resistors(int n, bool up, bool down)
{
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    Pin* p = Find(n);
    p->state.pullUp = up;
    p->state.pullDown = down;
    if (!p->state.isOutput) SetLevel(p, InputLevel(*p));
    return LE_OK;
}

le_result_t PushPull(int n, le_gpio_Polarity_t polarity, bool value)
{
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    Pin* p = Find(n);
    p->state.isOutput = true;
    p->state.polarity = polarity;
    p->state.writeCount++;
    SetLevel(p, polarity == LE_GPIO_ACTIVE_LOW ? !value : value);
    return LE_OK;
}

le_result_t Input(int n, le_gpio_Polarity_t polarity)
{
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    Pin* p = Find(n);
    p->state.isOutput = false;
    p->state.polarity = polarity;
    SetLevel(p, InputLevel(*p));
    return LE_OK;
}

le_result_t Drive(int n, bool active)
{
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    Pin* p = Find(n);
    if (!p->state.isOutput)
    {
        LE_ERROR("GPIO %d is not an output", n);
        return LE_FAULT;
    }
    p->state.writeCount++;
    SetLevel(p, p->state.polarity == LE_GPIO_ACTIVE_LOW ? !active : active);
    return LE_OK;
}

bool Read(int n)
{
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    return Logical(*Find(n));
}

void ForgetThreadHandlers(void* threadPtr)
{
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    for (Pin& p : Pins)
    {
        for (auto it = p.handlers.begin(); it != p.handlers.end();)
        {
            if (it->second.thread == threadPtr) it = p.handlers.erase(it);
            else ++it;
        }
        p.state.handlerCount = p.handlers.size();
    }
}

le_gpio_ChangeEventHandlerRef_t AddHandler(int n, le_gpio_Edge_t edge, le_gpio_ChangeCallbackFunc_t func, void* ctx,
                                           int32_t sampleMs)
{
    LE_UNUSED(sampleMs);
    if (func == nullptr) return nullptr;
    le_thread_AddDestructor(ForgetThreadHandlers, le_thread_GetCurrent());
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    Pin* p = Find(n);
    p->state.edge = edge;
    uintptr_t id = (NextHandler++ << 1) | 1u;
    p->handlers[id] = ChangeHandler{func, ctx, le_thread_GetCurrent()};
    p->state.handlerCount = p->handlers.size();
    return reinterpret_cast<le_gpio_ChangeEventHandlerRef_t>(id);
}

void RemoveHandler(int n, le_gpio_ChangeEventHandlerRef_t ref)
{
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    Pin* p = Find(n);
    p->handlers.erase(reinterpret_cast<uintptr_t>(ref));
    p->state.handlerCount = p->handlers.size();
}

le_result_t DisableEdge(int n)
{
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    Find(n)->state.edge = LE_GPIO_EDGE_NONE;
    return LE_OK;
}
}

#define LE_GPIO_DEFINE_PIN(N)                                                                                  \
    le_result_t le_gpioPin##N##_TryConnectService(void) { return TryConnect(N); }                              \
    void le_gpioPin##N##_ConnectService(void) { TryConnect(N); }                                               \
    void le_gpioPin##N##_DisconnectService(void) { Disconnect(N); }                                            \
    le_result_t le_gpioPin##N##_EnablePullUp(void) { return Resistors(N, true, false); }                       \
    le_result_t le_gpioPin##N##_EnablePullDown(void) { return Resistors(N, false, true); }                     \
    le_result_t le_gpioPin##N##_DisableResistors(void) { return Resistors(N, false, false); }                  \
    le_result_t le_gpioPin##N##_SetPushPullOutput(le_gpio_Polarity_t polarity, bool value)                     \
    {                                                                                                          \
        return PushPull(N, polarity, value);                                                                   \
    }                                                                                                          \
    le_result_t le_gpioPin##N##_SetInput(le_gpio_Polarity_t polarity) { return Input(N, polarity); }           \
    le_result_t le_gpioPin##N##_Activate(void) { return Drive(N, true); }                                      \
    le_result_t le_gpioPin##N##_Deactivate(void) { return Drive(N, false); }                                   \
    bool le_gpioPin##N##_Read(void) { return Read(N); }                                                        \
    le_gpio_ChangeEventHandlerRef_t le_gpioPin##N##_AddChangeEventHandler(                                     \
        le_gpio_Edge_t trigger, le_gpio_ChangeCallbackFunc_t handler, void* contextPtr, int32_t sampleMs)     \
    {                                                                                                          \
        return AddHandler(N, trigger, handler, contextPtr, sampleMs);                                          \
    }                                                                                                          \
    void le_gpioPin##N##_RemoveChangeEventHandler(le_gpio_ChangeEventHandlerRef_t handlerRef)                 \
    {                                                                                                          \
        RemoveHandler(N, handlerRef);                                                                          \
    }                                                                                                          \
    le_result_t le_gpioPin##N##_DisableEdgeSense(void) { return DisableEdge(N); }

LE_GPIO_DEFINE_PIN(8)
LE_GPIO_DEFINE_PIN(13)
LE_GPIO_DEFINE_PIN(33)
LE_GPIO_DEFINE_PIN(42)

bool pa_gpioSim_GetState(int pin, pa_gpioSim_State_t* statePtr)
{
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    Pin* p = Find(pin);
    if (p == nullptr) return false;
    *statePtr = p->state;
    return true;
}

bool pa_gpioSim_SetInputLevel(int pin, bool level)
{
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    Pin* p = Find(pin);
    if (p == nullptr) return false;
    p->outsideDrives = true;
    p->outsideLevel = level;
    // An output keeps the level it drives; the outside level shows once the pin is an input again.
    if (!p->state.isOutput) SetLevel(p, level);
    return true;
}

void pa_gpioSim_Reset(void)
{
    std::lock_guard<std::recursive_mutex> lock(PinMutex);
    for (Pin& p : Pins)
    {
        p.state = pa_gpioSim_State_t{};
        p.handlers.clear();
        p.outsideDrives = false;
        p.outsideLevel = false;
    }
}
