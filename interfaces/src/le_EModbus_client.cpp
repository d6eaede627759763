#include "le_EModbus_client.h"
#include "le_EModbus_interface.h"
#include "le_clock.h"
#include "le_log.h"

#include <map>

namespace
{
struct Handler
{
    le_EModbus_ReceiveHandlerFunc_t func;
    void* context;
    uint64_t serverRef;
};

le_msg_SessionRef_t Session = nullptr;
std::map<uint64_t, Handler> Handlers;   // by the context id the server echoes in its events
uint64_t NextId = 1;

le_EModbus_ReceiveHandlerRef_t ToRef(uint64_t id)
{
    return reinterpret_cast<le_EModbus_ReceiveHandlerRef_t>(static_cast<uintptr_t>((id << 1) | 1u));
}

uint64_t FromRef(le_EModbus_ReceiveHandlerRef_t ref)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ref)) >> 1;
}

void OnEvent(le_msg_MessageRef_t msg, void*)
{
    le_ipc_Value_t f[LE_EMODBUS_EVENT_FIELDS];
    size_t event;
    if (!le_ipc_UnpackEvent(&le_EModbus_Interface, msg, &event, f))
    {
        LE_ERROR("le_EModbus: an event from the server does not unpack; dropped");
        le_msg_ReleaseMsg(msg);
        return;
    }
    auto it = Handlers.find(f[LE_EMODBUS_EVENT_CONTEXT].num);
    if (it != Handlers.end())
    {
        Handler h = it->second;   // the handler may remove itself
        h.func(static_cast<const uint8_t*>(f[LE_EMODBUS_EVENT_DATA].data), f[LE_EMODBUS_EVENT_DATA].size, h.context);
    }
    le_msg_ReleaseMsg(msg);
}

void (*Disconnected)(void*) = nullptr;
void* DisconnectedContext = nullptr;

void OnClose(le_msg_SessionRef_t, void*)
{
    LE_WARN("le_EModbus: the server closed the session");
    Handlers.clear();
    if (Disconnected) Disconnected(DisconnectedContext);
}

// The call's own failure (LE_CLOSED, ...) or else the method's result.
le_result_t Call(uint32_t method, le_ipc_Value_t* args)
{
    le_result_t result = LE_OK;
    le_result_t r = le_ipc_Call(Session, &le_EModbus_Interface, method, args, &result, nullptr);
    return r == LE_OK ? result : r;
}
}

le_result_t le_EModbus_TryConnectService(void)
{
    if (Session != nullptr && le_msg_IsSessionOpen(Session)) return LE_OK;
    le_EModbus_DisconnectService();
    le_result_t r = le_ipc_OpenSession(&le_EModbus_Interface, OnEvent, nullptr, &Session);
    if (r != LE_OK) Session = nullptr;
    else le_msg_SetSessionCloseHandler(Session, OnClose, nullptr);
    return r;
}

void le_EModbus_ConnectService(void)
{
    while (le_EModbus_TryConnectService() != LE_OK) le_thread_SleepMs(100);
}

void le_EModbus_SetDisconnectHandler(void (*handler)(void* contextPtr), void* contextPtr)
{
    Disconnected = handler;
    DisconnectedContext = contextPtr;
}

void le_EModbus_DisconnectService(void)
{
    if (Session != nullptr) le_msg_DeleteSession(Session);
    Session = nullptr;
    Handlers.clear();
}

le_result_t le_EModbus_Start(void)
{
    return Call(LE_EMODBUS_START, nullptr);
}

le_result_t le_EModbus_Stop(void)
{
    return Call(LE_EMODBUS_STOP, nullptr);
}

le_result_t le_EModbus_SendRequest(const uint8_t* data, size_t count)
{
    if (count > LE_EMODBUS_DATA_MAX) return LE_BAD_PARAMETER;
    le_ipc_Value_t args[1] = {};
    args[0].data = data;
    args[0].size = count;
    return Call(LE_EMODBUS_SEND_REQUEST, args);
}

le_result_t le_EModbus_SetBaudRate(uint32_t baudRate)
{
    le_ipc_Value_t args[1] = {};
    args[0].num = baudRate;
    return Call(LE_EMODBUS_SET_BAUD_RATE, args);
}

le_EModbus_ReceiveHandlerRef_t le_EModbus_AddOnReceiveHandler(le_EModbus_ReceiveHandlerFunc_t handler,
                                                              void* contextPtr)
{
    if (handler == nullptr) return nullptr;
    uint64_t id = NextId++;
    le_ipc_Value_t args[2] = {};
    args[0].num = id;
    if (Call(LE_EMODBUS_ADD_RECEIVE_HANDLER, args) != LE_OK || args[1].num == 0) return nullptr;
    Handlers[id] = Handler{handler, contextPtr, args[1].num};
    return ToRef(id);
}

void le_EModbus_RemoveOnReceiveHandler(le_EModbus_ReceiveHandlerRef_t handlerRef)
{
    auto it = Handlers.find(FromRef(handlerRef));
    if (it == Handlers.end()) return;
    le_ipc_Value_t args[1] = {};
    args[0].num = it->second.serverRef;
    Handlers.erase(it);
    Call(LE_EMODBUS_REMOVE_RECEIVE_HANDLER, args);
}
