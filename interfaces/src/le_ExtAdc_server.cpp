// Serves le_ExtAdc (the base board's converter) and le_ExtAdcAddON (the add-on board's) on the
// component's main loop. Events come from the converters' looper threads and are sent from the main
// thread, in the order the loopers produced them.
#include "UniversalConverter.h"
#include "UniversalConverterAddON.h"
#include "le_ExtAdc_interface.h"
#include "le_ref.h"
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

struct Server;

// One client registration: the client's session and context, and the converter's handler.
struct ServerHandler
{
    Server* server;
    le_msg_SessionRef_t session;
    uint64_t clientContext;
    void* safeRef;
    bool alert;
    void* converterRef;
};

struct Server
{
    const le_ipc_Interface_t* iface;
    ConverterOps ops;
    le_msg_ServiceRef_t service;
    le_ref_MapRef_t handlers;
    le_thread_Ref_t mainThread;
    std::map<le_msg_SessionRef_t, unsigned> locks;   // MutexLock calls not yet unlocked, by client (main thread)
};

le_mem_PoolRef_t HandlerPool = nullptr;
le_mutex_Ref_t ServerLock = nullptr;   // guards both servers' reference maps

Server Servers[2] = {
    {&le_ExtAdc_Interface,
     {ADC1 | ADC2 | ADC3 | ADC4, le_ExtAdc_SetDeviceAddress, le_ExtAdc_SetGain, le_ExtAdc_SetConversionSpeed,
      le_ExtAdc_SetFileDescriptor, le_ExtAdc_GetValue, le_ExtAdc_SetInterval, le_ExtAdc_MeasureNow,
      le_ExtAdc_SetConverter, le_ExtAdc_SetInterface, le_ExtAdc_SetEdges, le_ExtAdc_MutexLock, le_ExtAdc_MutexUnlock,
      le_ExtAdc_AddOnValueHandler, le_ExtAdc_RemoveOnValueHandler, le_ExtAdc_AddOnAlertHandler,
      le_ExtAdc_RemoveOnAlertHandler},
     nullptr, nullptr, nullptr, {}},
    {&le_ExtAdcAddON_Interface,
     {ADC1 | ADC2, le_ExtAdcAddON_SetDeviceAddress, le_ExtAdcAddON_SetGain, le_ExtAdcAddON_SetConversionSpeed,
      le_ExtAdcAddON_SetFileDescriptor, le_ExtAdcAddON_GetValue, le_ExtAdcAddON_SetInterval,
      le_ExtAdcAddON_MeasureNow, le_ExtAdcAddON_SetConverter, le_ExtAdcAddON_SetInterface, le_ExtAdcAddON_SetEdges,
      le_ExtAdcAddON_MutexLock, le_ExtAdcAddON_MutexUnlock, le_ExtAdcAddON_AddOnValueHandler,
      le_ExtAdcAddON_RemoveOnValueHandler, le_ExtAdcAddON_AddOnAlertHandler, le_ExtAdcAddON_RemoveOnAlertHandler},
     nullptr, nullptr, nullptr, {}},
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
    le_mutex_Lock(ServerLock);
    auto* h = static_cast<ServerHandler*>(le_ref_Lookup(ev->server->handlers, ev->safeRef));
    // A handler removed since the looper called it gets nothing more.
    bool registered = h != nullptr && h->session == ev->session;
    le_mutex_Unlock(ServerLock);
    if (registered) le_ipc_SendEvent(ev->session, ev->server->iface, ev->eventIndex, ev->fields);
    delete ev;
}

void Queue(ServerHandler* h, PendingEvent* ev)
{
    ev->server = h->server;
    ev->safeRef = h->safeRef;
    ev->session = h->session;
    le_event_QueueFunctionToThread(h->server->mainThread, SendOnMain, ev, nullptr);
}

void ForwardValue(IOT_ADC channel, uint16_t rawData, double percentage, double convertedValue, void* contextPtr)
{
    auto* h = static_cast<ServerHandler*>(contextPtr);
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
    auto* h = static_cast<ServerHandler*>(contextPtr);
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

// Forgets one registration: its reference, the converter's handler (which may stop the looper)
// and the record. Caller holds ServerLock.
void Release(ServerHandler* h)
{
    le_ref_DeleteRef(h->server->handlers, h->safeRef);
    if (h->alert) h->server->ops.removeAlert(static_cast<AlertHandlerRecord*>(h->converterRef));
    else h->server->ops.removeValue(static_cast<ValueHandlerRecord*>(h->converterRef));
    le_mem_Release(h);
}

struct ClosedSession
{
    le_msg_SessionRef_t session;
    std::vector<ServerHandler*> handlers;
};

void CollectSession(void*, void* ptr, void* ctx)
{
    auto* closed = static_cast<ClosedSession*>(ctx);
    auto* h = static_cast<ServerHandler*>(ptr);
    if (h->session == closed->session) closed->handlers.push_back(h);
}

void SessionClosed(le_msg_SessionRef_t session, void* contextPtr)
{
    auto* server = static_cast<Server*>(contextPtr);
    LE_INFO("Client %p is closed !!!", static_cast<void*>(session));
    le_mutex_Lock(ServerLock);
    ClosedSession closed{session, {}};
    le_ref_ForEach(server->handlers, CollectSession, &closed);
    for (ServerHandler* h : closed.handlers) Release(h);
    le_mutex_Unlock(ServerLock);
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
    call->result = pins > 255 ? LE_BAD_PARAMETER : ServerOf(call->session)->ops.setDeviceAddress(static_cast<uint8_t>(pins));
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

void AddHandler(le_ipc_ServerCall_t* call, bool alert)
{
    Server* s = ServerOf(call->session);
    auto* h = static_cast<ServerHandler*>(le_mem_ForceAlloc(HandlerPool));
    *h = ServerHandler{s, call->session, call->args[1].num, nullptr, alert, nullptr};
    // The reference exists before the looper can call the forwarding function.
    le_mutex_Lock(ServerLock);
    h->safeRef = le_ref_CreateRef(s->handlers, h);
    le_mutex_Unlock(ServerLock);
    auto mask = static_cast<uint8_t>(call->args[0].num);
    h->converterRef = alert ? static_cast<void*>(s->ops.addAlert(mask, ForwardAlert, h))
                            : static_cast<void*>(s->ops.addValue(mask, ForwardValue, h));
    if (h->converterRef == nullptr)   // the converter is not started on this board
    {
        le_mutex_Lock(ServerLock);
        le_ref_DeleteRef(s->handlers, h->safeRef);
        le_mutex_Unlock(ServerLock);
        le_mem_Release(h);
        call->args[2].num = 0;
        return;
    }
    call->args[2].num = reinterpret_cast<uintptr_t>(h->safeRef);
}

void RemoveHandler(le_ipc_ServerCall_t* call, bool alert)
{
    Server* s = ServerOf(call->session);
    void* ref = reinterpret_cast<void*>(static_cast<uintptr_t>(call->args[0].num));
    le_mutex_Lock(ServerLock);
    auto* h = static_cast<ServerHandler*>(le_ref_Lookup(s->handlers, ref));
    // Another client's reference, or one of the other kind, is as unknown as one never handed out.
    if (h == nullptr || h->session != call->session || h->alert != alert)
    {
        le_mutex_Unlock(ServerLock);
        LE_INFO("Invalid reference");
        call->closeSession = true;
        return;
    }
    Release(h);
    le_mutex_Unlock(ServerLock);
}

void ServeAddOnValueHandler(le_ipc_ServerCall_t* call)
{
    AddHandler(call, false);
}

void ServeRemoveOnValueHandler(le_ipc_ServerCall_t* call)
{
    RemoveHandler(call, false);
}

void ServeAddOnAlertHandler(le_ipc_ServerCall_t* call)
{
    AddHandler(call, true);
}

void ServeRemoveOnAlertHandler(le_ipc_ServerCall_t* call)
{
    RemoveHandler(call, true);
}

const le_ipc_Implementation_t Implementations[] = {
    ServeSetDeviceAddress, ServeSetGain,        ServeSetConversionSpeed, ServeSetFileDescriptor,
    ServeGetValue,         ServeSetInterval,    ServeMeasureNow,         ServeSetConverter,
    ServeSetInterface,     ServeSetEdges,       ServeMutexLock,          ServeMutexUnlock,
    ServeAddOnValueHandler, ServeRemoveOnValueHandler, ServeAddOnAlertHandler, ServeRemoveOnAlertHandler,
};

void Advertise(Server* s, const char* mapName)
{
    if (s->service != nullptr) return;
    if (HandlerPool == nullptr)
    {
        HandlerPool = le_mem_CreatePool("le_ExtAdc_ServerData", sizeof(ServerHandler));
        ServerLock = le_mutex_CreateRecursive("le_ExtAdc_ServerLock");
    }
    s->handlers = le_ref_CreateMap(mapName, 8);
    s->mainThread = le_thread_GetCurrent();
    s->service = le_ipc_AdvertiseInterface(s->iface, Implementations);
    le_msg_AddServiceCloseHandler(s->service, SessionClosed, s);
}
}

void le_ExtAdc_AdvertiseService(void)
{
    Advertise(&Servers[0], "le_ExtAdc_ServerHandlers");
}

void le_ExtAdcAddON_AdvertiseService(void)
{
    Advertise(&Servers[1], "le_ExtAdcAddON_ServerHandlers");
}

le_msg_ServiceRef_t le_ExtAdc_GetServiceRef(void)
{
    return Servers[0].service;
}

le_msg_ServiceRef_t le_ExtAdcAddON_GetServiceRef(void)
{
    return Servers[1].service;
}
