#include "le_ExtAdc_client.h"
#include "le_ExtAdc_interface.h"
#include "le_clock.h"
#include "le_log.h"

#include <cstring>
#include <map>

namespace
{
struct Handler
{
    bool alert;
    le_ExtAdc_ValueHandlerFunc_t value;
    le_ExtAdc_AlertHandlerFunc_t alertFunc;
    void* context;
    uint64_t serverRef;
};

// One service's client side.
struct Client
{
    const le_ipc_Interface_t* iface;
    le_msg_SessionRef_t session = nullptr;
    std::map<uint64_t, Handler> handlers{};   // by the context id the server echoes in its events
    uint64_t nextId = 1;
    void (*disconnected)(void*) = nullptr;
    void* disconnectedContext = nullptr;
};

Client Clients[2] = {{&le_ExtAdc_Interface}, {&le_ExtAdcAddON_Interface}};

le_ExtAdc_HandlerRef_t ToRef(uint64_t id)
{
    return reinterpret_cast<le_ExtAdc_HandlerRef_t>(static_cast<uintptr_t>((id << 1) | 1u));
}

uint64_t FromRef(le_ExtAdc_HandlerRef_t ref)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ref)) >> 1;
}

void OnEvent(le_msg_MessageRef_t msg, void* contextPtr)
{
    auto* c = static_cast<Client*>(contextPtr);
    le_ipc_Value_t f[LE_EXTADC_ALERT_FIELDS];
    size_t event;
    if (!le_ipc_UnpackEvent(c->iface, msg, &event, f))
    {
        LE_ERROR("%s: an event from the server does not unpack; dropped", c->iface->serviceName);
        le_msg_ReleaseMsg(msg);
        return;
    }
    // Both events carry the client's context first.
    auto it = c->handlers.find(f[0].num);
    if (it != c->handlers.end())
    {
        Handler h = it->second;   // the handler may remove itself
        if (event == LE_EXTADC_EVENT_VALUE && !h.alert)
        {
            h.value(static_cast<uint32_t>(f[LE_EXTADC_VALUE_SENSOR].num), static_cast<uint16_t>(f[LE_EXTADC_VALUE_RAW].num),
                    f[LE_EXTADC_VALUE_PERCENTAGE].real, f[LE_EXTADC_VALUE_CONVERTED].real, h.context);
        }
        else if (event == LE_EXTADC_EVENT_ALERT && h.alert)
        {
            h.alertFunc(static_cast<uint32_t>(f[LE_EXTADC_ALERT_SENSOR].num),
                        static_cast<uint32_t>(f[LE_EXTADC_ALERT_EDGE].num),
                        static_cast<uint16_t>(f[LE_EXTADC_ALERT_RAW].num), f[LE_EXTADC_ALERT_PERCENTAGE].real,
                        f[LE_EXTADC_ALERT_CONVERTED].real, h.context);
        }
    }
    le_msg_ReleaseMsg(msg);
}

void OnClose(le_msg_SessionRef_t, void* contextPtr)
{
    auto* c = static_cast<Client*>(contextPtr);
    LE_WARN("%s: the server closed the session", c->iface->serviceName);
    c->handlers.clear();
    if (c->disconnected) c->disconnected(c->disconnectedContext);
}

// The call's own failure (LE_CLOSED, ...) or else the operation's result.
le_result_t Call(Client* c, uint32_t method, le_ipc_Value_t* args)
{
    le_result_t result = LE_OK;
    le_result_t r = le_ipc_Call(c->session, c->iface, method, args, &result, nullptr);
    return r == LE_OK ? result : r;
}

void Disconnect(Client* c)
{
    if (c->session != nullptr) le_msg_DeleteSession(c->session);
    c->session = nullptr;
    c->handlers.clear();
}

le_result_t TryConnect(Client* c)
{
    if (c->session != nullptr && le_msg_IsSessionOpen(c->session)) return LE_OK;
    Disconnect(c);
    le_result_t r = le_ipc_OpenSession(c->iface, OnEvent, c, &c->session);
    if (r != LE_OK) c->session = nullptr;
    else le_msg_SetSessionCloseHandler(c->session, OnClose, c);
    return r;
}

le_result_t SetOne(Client* c, uint32_t method, uint64_t value)
{
    le_ipc_Value_t args[1] = {};
    args[0].num = value;
    return Call(c, method, args);
}

le_result_t GetValue(Client* c, uint32_t channel, uint16_t* rawDataPtr, double* percentagePtr,
                     double* convertedValuePtr)
{
    le_ipc_Value_t a[LE_EXTADC_GET_PARAMS] = {};
    a[LE_EXTADC_GET_OUTPUT_MASK].num = (rawDataPtr ? LE_EXTADC_WANT_RAW : 0u) |
                                       (percentagePtr ? LE_EXTADC_WANT_PERCENTAGE : 0u) |
                                       (convertedValuePtr ? LE_EXTADC_WANT_CONVERTED : 0u);
    a[LE_EXTADC_GET_CHANNEL].num = channel;
    // The measurement's own LE_OVERFLOW must not pass for a transport failure.
    le_result_t r = LE_OK;
    le_result_t sent = le_ipc_Call(c->session, c->iface, LE_EXTADC_GET_VALUE, a, &r, nullptr);
    if (sent != LE_OK) return sent;
    if (rawDataPtr) *rawDataPtr = static_cast<uint16_t>(a[LE_EXTADC_GET_RAW].num);
    if (percentagePtr) *percentagePtr = a[LE_EXTADC_GET_PERCENTAGE].real;
    if (convertedValuePtr) *convertedValuePtr = a[LE_EXTADC_GET_CONVERTED].real;
    return r;
}

le_ExtAdc_HandlerRef_t AddHandler(Client* c, bool alert, uint32_t channelMask, le_ExtAdc_ValueHandlerFunc_t value,
                                  le_ExtAdc_AlertHandlerFunc_t alertFunc, void* contextPtr)
{
    if (value == nullptr && alertFunc == nullptr) return nullptr;
    uint64_t id = c->nextId++;
    le_ipc_Value_t args[3] = {};
    args[0].num = channelMask & 0xFFu;
    args[1].num = id;
    uint32_t method = alert ? LE_EXTADC_ADD_ALERT_HANDLER : LE_EXTADC_ADD_VALUE_HANDLER;
    if (Call(c, method, args) != LE_OK || args[2].num == 0) return nullptr;
    c->handlers[id] = Handler{alert, value, alertFunc, contextPtr, args[2].num};
    return ToRef(id);
}

void RemoveHandler(Client* c, bool alert, le_ExtAdc_HandlerRef_t ref)
{
    auto it = c->handlers.find(FromRef(ref));
    if (it == c->handlers.end() || it->second.alert != alert) return;
    le_ipc_Value_t args[1] = {};
    args[0].num = it->second.serverRef;
    c->handlers.erase(it);
    Call(c, alert ? LE_EXTADC_REMOVE_ALERT_HANDLER : LE_EXTADC_REMOVE_VALUE_HANDLER, args);
}
}

#define LE_EXTADC_CLIENT_DEFINE(P, INDEX)                                                                        \
    le_result_t P##_TryConnectService(void) { return TryConnect(&Clients[INDEX]); }                             \
    void P##_ConnectService(void)                                                                               \
    {                                                                                                           \
        while (TryConnect(&Clients[INDEX]) != LE_OK) le_thread_SleepMs(100);                                    \
    }                                                                                                           \
    void P##_DisconnectService(void) { Disconnect(&Clients[INDEX]); }                                           \
    void P##_SetDisconnectHandler(void (*handler)(void*), void* contextPtr)                                     \
    {                                                                                                           \
        Clients[INDEX].disconnected = handler;                                                                  \
        Clients[INDEX].disconnectedContext = contextPtr;                                                        \
    }                                                                                                           \
    le_result_t P##_SetDeviceAddress(uint32_t pins)                                                             \
    {                                                                                                           \
        return SetOne(&Clients[INDEX], LE_EXTADC_SET_DEVICE_ADDRESS, pins);                                     \
    }                                                                                                           \
    le_result_t P##_SetGain(uint32_t channelMask, uint32_t gain)                                                \
    {                                                                                                           \
        le_ipc_Value_t args[2] = {};                                                                            \
        args[0].num = channelMask;                                                                              \
        args[1].num = gain;                                                                                     \
        return Call(&Clients[INDEX], LE_EXTADC_SET_GAIN, args);                                                 \
    }                                                                                                           \
    le_result_t P##_SetConversionSpeed(uint32_t speed)                                                          \
    {                                                                                                           \
        return SetOne(&Clients[INDEX], LE_EXTADC_SET_CONVERSION_SPEED, speed);                                  \
    }                                                                                                           \
    le_result_t P##_SetFileDescriptor(const char* path)                                                         \
    {                                                                                                           \
        le_ipc_Value_t args[1] = {};                                                                            \
        args[0].data = path ? path : "";                                                                        \
        args[0].size = path ? strlen(path) : 0;                                                                 \
        return Call(&Clients[INDEX], LE_EXTADC_SET_FILE_DESCRIPTOR, args);                                      \
    }                                                                                                           \
    le_result_t P##_GetValue(uint32_t channel, uint16_t* rawDataPtr, double* percentagePtr,                     \
                             double* convertedValuePtr)                                                         \
    {                                                                                                           \
        return GetValue(&Clients[INDEX], channel, rawDataPtr, percentagePtr, convertedValuePtr);                \
    }                                                                                                           \
    le_result_t P##_SetInterval(uint32_t intervalMs)                                                            \
    {                                                                                                           \
        return SetOne(&Clients[INDEX], LE_EXTADC_SET_INTERVAL, intervalMs);                                     \
    }                                                                                                           \
    le_result_t P##_MeasureNow(void) { return Call(&Clients[INDEX], LE_EXTADC_MEASURE_NOW, nullptr); }          \
    le_result_t P##_SetConverter(uint32_t channelMask, double min, double max)                                  \
    {                                                                                                           \
        le_ipc_Value_t args[3] = {};                                                                            \
        args[0].num = channelMask;                                                                              \
        args[1].real = min;                                                                                     \
        args[2].real = max;                                                                                     \
        return Call(&Clients[INDEX], LE_EXTADC_SET_CONVERTER, args);                                            \
    }                                                                                                           \
    le_result_t P##_SetInterface(uint32_t channelMask, uint32_t interfaceType)                                  \
    {                                                                                                           \
        le_ipc_Value_t args[2] = {};                                                                            \
        args[0].num = channelMask;                                                                              \
        args[1].num = interfaceType;                                                                            \
        return Call(&Clients[INDEX], LE_EXTADC_SET_INTERFACE, args);                                            \
    }                                                                                                           \
    le_result_t P##_SetEdges(uint32_t channelMask, double low, double high, double hysteresis)                  \
    {                                                                                                           \
        le_ipc_Value_t args[4] = {};                                                                            \
        args[0].num = channelMask;                                                                              \
        args[1].real = low;                                                                                     \
        args[2].real = high;                                                                                    \
        args[3].real = hysteresis;                                                                              \
        return Call(&Clients[INDEX], LE_EXTADC_SET_EDGES, args);                                                \
    }                                                                                                           \
    le_result_t P##_MutexLock(void) { return Call(&Clients[INDEX], LE_EXTADC_MUTEX_LOCK, nullptr); }            \
    le_result_t P##_MutexUnlock(void) { return Call(&Clients[INDEX], LE_EXTADC_MUTEX_UNLOCK, nullptr); }        \
    le_ExtAdc_HandlerRef_t P##_AddOnValueHandler(uint32_t channelMask, le_ExtAdc_ValueHandlerFunc_t handler,     \
                                                 void* contextPtr)                                              \
    {                                                                                                           \
        return AddHandler(&Clients[INDEX], false, channelMask, handler, nullptr, contextPtr);                   \
    }                                                                                                           \
    void P##_RemoveOnValueHandler(le_ExtAdc_HandlerRef_t handlerRef)                                            \
    {                                                                                                           \
        RemoveHandler(&Clients[INDEX], false, handlerRef);                                                      \
    }                                                                                                           \
    le_ExtAdc_HandlerRef_t P##_AddOnAlertHandler(uint32_t channelMask, le_ExtAdc_AlertHandlerFunc_t handler,     \
                                                 void* contextPtr)                                              \
    {                                                                                                           \
        return AddHandler(&Clients[INDEX], true, channelMask, nullptr, handler, contextPtr);                    \
    }                                                                                                           \
    void P##_RemoveOnAlertHandler(le_ExtAdc_HandlerRef_t handlerRef) { RemoveHandler(&Clients[INDEX], true, handlerRef); }

LE_EXTADC_CLIENT_DEFINE(le_ExtAdc, 0)
LE_EXTADC_CLIENT_DEFINE(le_ExtAdcAddON, 1)
