// Serves le_ExtAdc (the base board's converter) and le_ExtAdcAddON (the add-on board's) on the
// component's main loop. Events come from the converters' looper threads and are sent from the main
// thread, in the order the loopers produced them.
#include "UniversalConverter.h"
#include "UniversalConverterAddON.h"
#include "le_ExtAdc_interface.h"
#include "service_server.h"
#include "legato.h"
#include "veltrona_services.h"

#include <map>
#include <vector>

namespace
{
// The implementation operations of one converter.
struct ConverterOps
{
    uint32_t channels;   // the IOT_ADC bits the converter knows
    le_result_t (*setDeviceAddress)(uint8_t index);
    le_result_t (*setGain)(uint8_t channelMask, uint32_t gain);
    le_result_t (*setConversionSpeed)(uint32_t speed);
    le_result_t (*setFileDescriptor)(const char* path);
    le_result_t (*getValue)(IOT_ADC channel, uint16_t* rawDataPtr, double* percentagePtr, double* convertedValuePtr);
    le_result_t (*setInterval)(uint32_t intervalMs);
    void (*measureNow)(void);
    le_result_t (*setConverter)(uint8_t channelMask, double min, double max);
    void (*setInterface)(uint8_t channelMask, uint32_t interfaceType);
    le_result_t (*setEdges)(uint8_t channelMask, double low, double high, double hysteresis);
    void (*mutexLock)(void);
    void (*mutexUnlock)(void);
    ValueHandlerRecord* (*addValue)(uint8_t channelMask, le_ExtAdc_ValueHandlerFunc_t handler, void* contextPtr);
    void (*removeValue)(ValueHandlerRecord* ref);
    AlertHandlerRecord* (*addAlert)(uint8_t channelMask, le_ExtAdc_AlertHandlerFunc_t handler, void* contextPtr);
    void (*removeAlert)(AlertHandlerRecord* ref);
};

struct Server
{
    const le_ipc_Interface_t* iface;
    ConverterOps ops;
    ServerRegistry registry;
    le_msg_ServiceRef_t service;
    le_thread_Ref_t mainThread;
    std::map<le_msg_SessionRef_t, unsigned> locks;   // MutexLock calls not yet unlocked, by client (main thread)
};

Server Servers[2] = {
    {&le_ExtAdc_Interface,
     {ADC1 | ADC2 | ADC3 | ADC4, le_ExtAdc_SetDeviceAddress, le_ExtAdc_SetGain, le_ExtAdc_SetConversionSpeed,
      le_ExtAdc_SetFileDescriptor, le_ExtAdc_GetValue, le_ExtAdc_SetInterval, le_ExtAdc_MeasureNow,
      le_ExtAdc_SetConverter, le_ExtAdc_SetInterface, le_ExtAdc_SetEdges, le_ExtAdc_MutexLock, le_ExtAdc_MutexUnlock,
      le_ExtAdc_AddOnValueHandler, le_ExtAdc_RemoveOnValueHandler, le_ExtAdc_AddOnAlertHandler,
      le_ExtAdc_RemoveOnAlertHandler},
     {"le_ExtAdc_ServerHandlers", true}, nullptr, nullptr, {}},
    {&le_ExtAdcAddON_Interface,
     {ADC1 | ADC2, le_ExtAdcAddON_SetDeviceAddress, le_ExtAdcAddON_SetGain, le_ExtAdcAddON_SetConversionSpeed,
      le_ExtAdcAddON_SetFileDescriptor, le_ExtAdcAddON_GetValue, le_ExtAdcAddON_SetInterval,
      le_ExtAdcAddON_MeasureNow, le_ExtAdcAddON_SetConverter, le_ExtAdcAddON_SetInterface, le_ExtAdcAddON_SetEdges,
      le_ExtAdcAddON_MutexLock, le_ExtAdcAddON_MutexUnlock, le_ExtAdcAddON_AddOnValueHandler,
      le_ExtAdcAddON_RemoveOnValueHandler, le_ExtAdcAddON_AddOnAlertHandler, le_ExtAdcAddON_RemoveOnAlertHandler},
     {"le_ExtAdcAddON_ServerHandlers", true}, nullptr, nullptr, {}},
};

Server* ServerOf(le_msg_SessionRef_t session)
{
    le_msg_ServiceRef_t service = le_msg_GetSessionService(session);
    return service == Servers[1].service ? &Servers[1] : &Servers[0];
}

// An event on its way from a looper thread to the main thread.
struct PendingEvent
{
    Server* server;
    void* safeRef;
    le_msg_SessionRef_t session;
    size_t eventIndex;
    le_ipc_Value_t fields[LE_EXTADC_ALERT_FIELDS];
};

void SendOnMain(void* eventPtr, void*)
{
    auto* ev = static_cast<PendingEvent*>(eventPtr);
    // A handler removed since the looper called it gets nothing more.
    if (RegistryHolds(&ev->server->registry, ev->safeRef, ev->session))
        le_ipc_SendEvent(ev->session, ev->server->iface, ev->eventIndex, ev->fields);
    delete ev;
}

void Queue(ServerRegistration* reg, PendingEvent* ev)
{
    ev->server = static_cast<Server*>(reg->owner);
    ev->safeRef = reg->safeRef;
    ev->session = reg->session;
    le_event_QueueFunctionToThread(ev->server->mainThread, SendOnMain, ev, nullptr);
}

void ForwardValue(IOT_ADC channel, uint16_t rawData, double percentage, double convertedValue, void* contextPtr)
{
    auto* h = static_cast<ServerRegistration*>(contextPtr);
    auto* ev = new PendingEvent{};
    ev->eventIndex = LE_EXTADC_EVENT_VALUE;
    ev->fields[LE_EXTADC_VALUE_CONTEXT].num = h->clientContext;
    ev->fields[LE_EXTADC_VALUE_SENSOR].num = static_cast<uint32_t>(channel);
    ev->fields[LE_EXTADC_VALUE_RAW].num = rawData;
    ev->fields[LE_EXTADC_VALUE_PERCENTAGE].real = percentage;
    ev->fields[LE_EXTADC_VALUE_CONVERTED].real = convertedValue;
    Queue(h, ev);
}

void ForwardAlert(IOT_ADC channel, Edges edge, uint16_t rawData, double percentage, double convertedValue,
                  void* contextPtr)
{
    auto* h = static_cast<ServerRegistration*>(contextPtr);
    auto* ev = new PendingEvent{};
    ev->eventIndex = LE_EXTADC_EVENT_ALERT;
    ev->fields[LE_EXTADC_ALERT_CONTEXT].num = h->clientContext;
    ev->fields[LE_EXTADC_ALERT_SENSOR].num = static_cast<uint32_t>(channel);
    ev->fields[LE_EXTADC_ALERT_EDGE].num = static_cast<uint32_t>(edge);
    ev->fields[LE_EXTADC_ALERT_RAW].num = rawData;
    ev->fields[LE_EXTADC_ALERT_PERCENTAGE].real = percentage;
    ev->fields[LE_EXTADC_ALERT_CONVERTED].real = convertedValue;
    Queue(h, ev);
}

// Removes the converter's handler, which may stop its looper.
void RemoveFromConverter(const ServerRegistration* reg)
{
    const ConverterOps& ops = static_cast<Server*>(reg->owner)->ops;
    if (reg->event == LE_EXTADC_EVENT_ALERT) ops.removeAlert(static_cast<AlertHandlerRecord*>(reg->componentRef));
    else ops.removeValue(static_cast<ValueHandlerRecord*>(reg->componentRef));
}

void SessionClosed(le_msg_SessionRef_t session, void* contextPtr)
{
    auto* server = static_cast<Server*>(contextPtr);
    LE_INFO("Client %p is closed !!!", static_cast<void*>(session));
    RegistrySessionClosed(&server->registry, session);
    // A client that goes away holding the converter's lock would hold its looper back for good.
    auto held = server->locks.find(session);
    if (held == server->locks.end()) return;
    for (unsigned n = held->second; n > 0; n--) server->ops.mutexUnlock();
    server->locks.erase(held);
}

// A channel value the converter knows; others are answered without calling it.
bool KnownChannel(const Server* s, uint64_t value)
{
    bool oneChannel = value == ADC1 || value == ADC2 || value == ADC3 || value == ADC4;
    return oneChannel && (s->ops.channels & value) != 0;
}

void ServeSetDeviceAddress(le_ipc_ServerCall_t* call)
{
    uint64_t pins = call->args[0].num;
    Server* s = ServerOf(call->session);
    call->result = pins > 255 ? LE_BAD_PARAMETER : s->ops.setDeviceAddress(static_cast<uint8_t>(pins));
}

void ServeSetGain(le_ipc_ServerCall_t* call)
{
    call->result = ServerOf(call->session)->ops.setGain(static_cast<uint8_t>(call->args[0].num),
                                                         static_cast<uint32_t>(call->args[1].num));
}

void ServeSetConversionSpeed(le_ipc_ServerCall_t* call)
{
    call->result = ServerOf(call->session)->ops.setConversionSpeed(static_cast<uint32_t>(call->args[0].num));
}

void ServeSetFileDescriptor(le_ipc_ServerCall_t* call)
{
    char path[LE_EXTADC_PATH_MAX + 1];
    if (le_ipc_CopyString(&call->args[0], path, sizeof(path)) != LE_OK)
    {
        call->result = LE_BAD_PARAMETER;   // a zero byte inside the path
        return;
    }
    call->result = ServerOf(call->session)->ops.setFileDescriptor(path);
}

void ServeGetValue(le_ipc_ServerCall_t* call)
{
    Server* s = ServerOf(call->session);
    le_ipc_Value_t* a = call->args;
    uint32_t wanted = static_cast<uint32_t>(a[LE_EXTADC_GET_OUTPUT_MASK].num);
    uint16_t raw = 0;
    double percentage = 0;
    double converted = 0;
    uint64_t channel = a[LE_EXTADC_GET_CHANNEL].num;
    if (!KnownChannel(s, channel))
    {
        call->result = LE_BAD_PARAMETER;
    }
    else
    {
        call->result = s->ops.getValue(static_cast<IOT_ADC>(channel), (wanted & LE_EXTADC_WANT_RAW) ? &raw : nullptr,
                                       (wanted & LE_EXTADC_WANT_PERCENTAGE) ? &percentage : nullptr,
                                       (wanted & LE_EXTADC_WANT_CONVERTED) ? &converted : nullptr);
    }
    a[LE_EXTADC_GET_RAW].num = raw;
    a[LE_EXTADC_GET_PERCENTAGE].real = percentage;
    a[LE_EXTADC_GET_CONVERTED].real = converted;
}

void ServeSetInterval(le_ipc_ServerCall_t* call)
{
    call->result = ServerOf(call->session)->ops.setInterval(static_cast<uint32_t>(call->args[0].num));
}

void ServeMeasureNow(le_ipc_ServerCall_t* call)
{
    ServerOf(call->session)->ops.measureNow();
}

void ServeSetConverter(le_ipc_ServerCall_t* call)
{
    call->result = ServerOf(call->session)->ops.setConverter(static_cast<uint8_t>(call->args[0].num),
                                                              call->args[1].real, call->args[2].real);
}

void ServeSetInterface(le_ipc_ServerCall_t* call)
{
    ServerOf(call->session)->ops.setInterface(static_cast<uint8_t>(call->args[0].num),
                                              static_cast<uint32_t>(call->args[1].num));
}

void ServeSetEdges(le_ipc_ServerCall_t* call)
{
    call->result = ServerOf(call->session)->ops.setEdges(static_cast<uint8_t>(call->args[0].num), call->args[1].real,
                                                          call->args[2].real, call->args[3].real);
}

void ServeMutexLock(le_ipc_ServerCall_t* call)
{
    Server* s = ServerOf(call->session);
    s->ops.mutexLock();
    s->locks[call->session]++;
}

// A client releases only what it took: another client's lock is not its to give back.
void ServeMutexUnlock(le_ipc_ServerCall_t* call)
{
    Server* s = ServerOf(call->session);
    auto held = s->locks.find(call->session);
    if (held == s->locks.end())
    {
        LE_INFO("MUTEX OFF refused: client %p holds no lock", static_cast<void*>(call->session));
        return;
    }
    s->ops.mutexUnlock();
    if (--held->second == 0) s->locks.erase(held);
}

void AddHandler(le_ipc_ServerCall_t* call, size_t event)
{
    Server* s = ServerOf(call->session);
    ServerRegistration* reg = RegistryAdd(&s->registry, call, call->args[1].num, event, s);
    auto mask = static_cast<uint8_t>(call->args[0].num);
    void* converterRef = event == LE_EXTADC_EVENT_ALERT ? static_cast<void*>(s->ops.addAlert(mask, ForwardAlert, reg))
                                                        : static_cast<void*>(s->ops.addValue(mask, ForwardValue, reg));
    RegistryCommit(&s->registry, reg, converterRef, RemoveFromConverter, &call->args[2].num);
}

void RemoveHandler(le_ipc_ServerCall_t* call, size_t event)
{
    RegistryRemove(&ServerOf(call->session)->registry, call, call->args[0].num, event);
}

void ServeAddOnValueHandler(le_ipc_ServerCall_t* call)
{
    AddHandler(call, LE_EXTADC_EVENT_VALUE);
}

void ServeRemoveOnValueHandler(le_ipc_ServerCall_t* call)
{
    RemoveHandler(call, LE_EXTADC_EVENT_VALUE);
}

void ServeAddOnAlertHandler(le_ipc_ServerCall_t* call)
{
    AddHandler(call, LE_EXTADC_EVENT_ALERT);
}

void ServeRemoveOnAlertHandler(le_ipc_ServerCall_t* call)
{
    RemoveHandler(call, LE_EXTADC_EVENT_ALERT);
}

const le_ipc_Implementation_t Implementations[] = {
    ServeSetDeviceAddress, ServeSetGain,        ServeSetConversionSpeed, ServeSetFileDescriptor,
    ServeGetValue,         ServeSetInterval,    ServeMeasureNow,         ServeSetConverter,
    ServeSetInterface,     ServeSetEdges,       ServeMutexLock,          ServeMutexUnlock,
    ServeAddOnValueHandler, ServeRemoveOnValueHandler, ServeAddOnAlertHandler, ServeRemoveOnAlertHandler,
};

void Advertise(Server* s)
{
    if (s->service != nullptr) return;
    RegistryInit(&s->registry);
    s->mainThread = le_thread_GetCurrent();
    s->service = le_ipc_AdvertiseInterface(s->iface, Implementations);
    le_msg_AddServiceCloseHandler(s->service, SessionClosed, s);
}
}

void le_ExtAdc_AdvertiseService(void)
{
    Advertise(&Servers[0]);
}

void le_ExtAdcAddON_AdvertiseService(void)
{
    Advertise(&Servers[1]);
}

le_msg_ServiceRef_t le_ExtAdc_GetServiceRef(void)
{
    return Servers[0].service;
}

le_msg_ServiceRef_t le_ExtAdcAddON_GetServiceRef(void)
{
    return Servers[1].service;
}
