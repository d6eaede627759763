#include "le_ExtAdc_client.h"
#include "le_ExtAdc_interface.h"
#include "service_client.h"

#include <cstring>

namespace
{
void Deliver(const le_ipc_Value_t* f, const ClientHandler& h)
{
    if (h.event == LE_EXTADC_EVENT_VALUE)
    {
        reinterpret_cast<le_ExtAdc_ValueHandlerFunc_t>(h.func)(
            static_cast<uint32_t>(f[LE_EXTADC_VALUE_SENSOR].num), static_cast<uint16_t>(f[LE_EXTADC_VALUE_RAW].num),
            f[LE_EXTADC_VALUE_PERCENTAGE].real, f[LE_EXTADC_VALUE_CONVERTED].real, h.context);
        return;
    }
    reinterpret_cast<le_ExtAdc_AlertHandlerFunc_t>(h.func)(
        static_cast<uint32_t>(f[LE_EXTADC_ALERT_SENSOR].num), static_cast<uint32_t>(f[LE_EXTADC_ALERT_EDGE].num),
        static_cast<uint16_t>(f[LE_EXTADC_ALERT_RAW].num), f[LE_EXTADC_ALERT_PERCENTAGE].real,
        f[LE_EXTADC_ALERT_CONVERTED].real, h.context);
}

// One interface, served twice.
ServiceClient Clients[2] = {{&le_ExtAdc_Interface, Deliver}, {&le_ExtAdcAddON_Interface, Deliver}};

le_result_t SetOne(ServiceClient* c, uint32_t method, uint64_t value)
{
    le_ipc_Value_t args[1] = {};
    args[0].num = value;
    return ServiceCall(c, method, args);
}

le_result_t GetValue(ServiceClient* c, uint32_t channel, uint16_t* rawDataPtr, double* percentagePtr,
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

le_ExtAdc_HandlerRef_t AddHandler(ServiceClient* c, size_t event, uint32_t channelMask, void (*func)(),
                                  void* contextPtr)
{
    le_ipc_Value_t args[3] = {};
    args[0].num = channelMask & 0xFFu;
    uint32_t method = event == LE_EXTADC_EVENT_ALERT ? LE_EXTADC_ADD_ALERT_HANDLER : LE_EXTADC_ADD_VALUE_HANDLER;
    return static_cast<le_ExtAdc_HandlerRef_t>(ServiceAddHandler(c, event, func, contextPtr, method, args, 1, 2));
}
}

#define LE_EXTADC_CLIENT_DEFINE(P, INDEX)                                                                           \
    le_result_t P##_TryConnectService(void) { return ServiceTryConnect(&Clients[INDEX]); }                          \
    void P##_ConnectService(void) { ServiceConnect(&Clients[INDEX]); }                                              \
    void P##_DisconnectService(void) { ServiceDisconnect(&Clients[INDEX]); }                                        \
    void P##_SetDisconnectHandler(void (*handler)(void*), void* contextPtr)                                         \
    {                                                                                                               \
        ServiceSetDisconnectHandler(&Clients[INDEX], handler, contextPtr);                                          \
    }                                                                                                               \
    le_result_t P##_SetDeviceAddress(uint32_t pins)                                                                 \
    {                                                                                                               \
        return SetOne(&Clients[INDEX], LE_EXTADC_SET_DEVICE_ADDRESS, pins);                                         \
    }                                                                                                               \
    le_result_t P##_SetGain(uint32_t channelMask, uint32_t gain)                                                    \
    {                                                                                                               \
        le_ipc_Value_t args[2] = {};                                                                                \
        args[0].num = channelMask;                                                                                  \
        args[1].num = gain;                                                                                         \
        return ServiceCall(&Clients[INDEX], LE_EXTADC_SET_GAIN, args);                                              \
    }                                                                                                               \
    le_result_t P##_SetConversionSpeed(uint32_t speed)                                                              \
    {                                                                                                               \
        return SetOne(&Clients[INDEX], LE_EXTADC_SET_CONVERSION_SPEED, speed);                                      \
    }                                                                                                               \
    le_result_t P##_SetFileDescriptor(const char* path)                                                             \
    {                                                                                                               \
        le_ipc_Value_t args[1] = {};                                                                                \
        args[0].data = path ? path : "";                                                                            \
        args[0].size = path ? strlen(path) : 0;                                                                     \
        return ServiceCall(&Clients[INDEX], LE_EXTADC_SET_FILE_DESCRIPTOR, args);                                   \
    }                                                                                                               \
    le_result_t P##_GetValue(uint32_t channel, uint16_t* rawDataPtr, double* percentagePtr,                         \
                             double* convertedValuePtr)                                                             \
    {                                                                                                               \
        return GetValue(&Clients[INDEX], channel, rawDataPtr, percentagePtr, convertedValuePtr);                    \
    }                                                                                                               \
    le_result_t P##_SetInterval(uint32_t intervalMs)                                                                \
    {                                                                                                               \
        return SetOne(&Clients[INDEX], LE_EXTADC_SET_INTERVAL, intervalMs);                                         \
    }                                                                                                               \
    le_result_t P##_MeasureNow(void) { return ServiceCall(&Clients[INDEX], LE_EXTADC_MEASURE_NOW, nullptr); }       \
    le_result_t P##_SetConverter(uint32_t channelMask, double min, double max)                                      \
    {                                                                                                               \
        le_ipc_Value_t args[3] = {};                                                                                \
        args[0].num = channelMask;                                                                                  \
        args[1].real = min;                                                                                         \
        args[2].real = max;                                                                                         \
        return ServiceCall(&Clients[INDEX], LE_EXTADC_SET_CONVERTER, args);                                         \
    }                                                                                                               \
    le_result_t P##_SetInterface(uint32_t channelMask, uint32_t interfaceType)                                      \
    {                                                                                                               \
        le_ipc_Value_t args[2] = {};                                                                                \
        args[0].num = channelMask;                                                                                  \
        args[1].num = interfaceType;                                                                                \
        return ServiceCall(&Clients[INDEX], LE_EXTADC_SET_INTERFACE, args);                                         \
    }                                                                                                               \
    le_result_t P##_SetEdges(uint32_t channelMask, double low, double high, double hysteresis)                      \
    {                                                                                                               \
        le_ipc_Value_t args[4] = {};                                                                                \
        args[0].num = channelMask;                                                                                  \
        args[1].real = low;                                                                                         \
        args[2].real = high;                                                                                        \
        args[3].real = hysteresis;                                                                                  \
        return ServiceCall(&Clients[INDEX], LE_EXTADC_SET_EDGES, args);                                             \
    }                                                                                                               \
    le_result_t P##_MutexLock(void) { return ServiceCall(&Clients[INDEX], LE_EXTADC_MUTEX_LOCK, nullptr); }         \
    le_result_t P##_MutexUnlock(void) { return ServiceCall(&Clients[INDEX], LE_EXTADC_MUTEX_UNLOCK, nullptr); }     \
    le_ExtAdc_HandlerRef_t P##_AddOnValueHandler(uint32_t channelMask, le_ExtAdc_ValueHandlerFunc_t handler,        \
                                                 void* contextPtr)                                                  \
    {                                                                                                               \
        return AddHandler(&Clients[INDEX], LE_EXTADC_EVENT_VALUE, channelMask, reinterpret_cast<void (*)()>(handler), \
                          contextPtr);                                                                              \
    }                                                                                                               \
    void P##_RemoveOnValueHandler(le_ExtAdc_HandlerRef_t handlerRef)                                                \
    {                                                                                                               \
        ServiceRemoveHandler(&Clients[INDEX], LE_EXTADC_EVENT_VALUE, handlerRef, LE_EXTADC_REMOVE_VALUE_HANDLER);   \
    }                                                                                                               \
    le_ExtAdc_HandlerRef_t P##_AddOnAlertHandler(uint32_t channelMask, le_ExtAdc_AlertHandlerFunc_t handler,        \
                                                 void* contextPtr)                                                  \
    {                                                                                                               \
        return AddHandler(&Clients[INDEX], LE_EXTADC_EVENT_ALERT, channelMask, reinterpret_cast<void (*)()>(handler), \
                          contextPtr);                                                                              \
    }                                                                                                               \
    void P##_RemoveOnAlertHandler(le_ExtAdc_HandlerRef_t handlerRef)                                                \
    {                                                                                                               \
        ServiceRemoveHandler(&Clients[INDEX], LE_EXTADC_EVENT_ALERT, handlerRef, LE_EXTADC_REMOVE_ALERT_HANDLER);   \
    }

LE_EXTADC_CLIENT_DEFINE(le_ExtAdc, 0)
LE_EXTADC_CLIENT_DEFINE(le_ExtAdcAddON, 1)
