#include "le_EnOcean_client.h"
#include "le_EnOcean_interface.h"
#include "le_log.h"
#include "le_clock.h"

#include <cstring>
#include <map>
#include <string>

namespace
{
struct Handler
{
    le_EnOcean_ReceiveHandlerFunc_t func;
    void* context;
    uint64_t serverRef;
};

le_msg_SessionRef_t Session = nullptr;
std::map<uint64_t, Handler> Handlers;   // by the context id the gateway echoes in its events
uint64_t NextId = 1;

le_EnOcean_ReceiveHandlerRef_t ToRef(uint64_t id)
{
    return reinterpret_cast<le_EnOcean_ReceiveHandlerRef_t>(static_cast<uintptr_t>((id << 1) | 1u));
}

uint64_t FromRef(le_EnOcean_ReceiveHandlerRef_t ref)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ref)) >> 1;
}

std::string Text(const le_ipc_Value_t& v)
{
    return std::string(static_cast<const char*>(v.data), v.size).c_str();   // up to a zero byte
}

void OnEvent(le_msg_MessageRef_t msg, void*)
{
    le_ipc_Value_t f[LE_ENOCEAN_EVENT_FIELDS];
    size_t event;
    if (!le_ipc_UnpackEvent(&le_EnOcean_Interface, msg, &event, f))
    {
        LE_ERROR("le_EnOcean: an event from the gateway does not unpack; dropped");
        le_msg_ReleaseMsg(msg);
        return;
    }
    auto it = Handlers.find(f[LE_ENOCEAN_EVENT_CONTEXT].num);
    if (it != Handlers.end())
    {
        Handler h = it->second;   // the handler may remove itself
        h.func(static_cast<uint8_t>(f[LE_ENOCEAN_EVENT_PACKET_TYPE].num),
               static_cast<const uint8_t*>(f[LE_ENOCEAN_EVENT_DATA].data), f[LE_ENOCEAN_EVENT_DATA].size,
               Text(f[LE_ENOCEAN_EVENT_UNIT_ID]).c_str(), Text(f[LE_ENOCEAN_EVENT_EEP]).c_str(),
               Text(f[LE_ENOCEAN_EVENT_JSON]).c_str(), f[LE_ENOCEAN_EVENT_SECURE].num != 0, h.context);
    }
    le_msg_ReleaseMsg(msg);
}

void (*Disconnected)(void*) = nullptr;
void* DisconnectedContext = nullptr;

void OnClose(le_msg_SessionRef_t, void*)
{
    LE_WARN("le_EnOcean: the gateway closed the session");
    Handlers.clear();
    if (Disconnected) Disconnected(DisconnectedContext);
}

le_result_t Call(uint32_t method, le_ipc_Value_t* args, le_result_t* result)
{
    return le_ipc_Call(Session, &le_EnOcean_Interface, method, args, result, nullptr);
}
}

le_result_t le_EnOcean_TryConnectService(void)
{
    if (Session != nullptr && le_msg_IsSessionOpen(Session)) return LE_OK;
    le_EnOcean_DisconnectService();
    le_result_t r = le_ipc_OpenSession(&le_EnOcean_Interface, OnEvent, nullptr, &Session);
    if (r != LE_OK) Session = nullptr;
    else le_msg_SetSessionCloseHandler(Session, OnClose, nullptr);
    return r;
}

void le_EnOcean_ConnectService(void)
{
    while (le_EnOcean_TryConnectService() != LE_OK) le_thread_SleepMs(100);
}

void le_EnOcean_SetDisconnectHandler(void (*handler)(void* contextPtr), void* contextPtr)
{
    Disconnected = handler;
    DisconnectedContext = contextPtr;
}

void le_EnOcean_DisconnectService(void)
{
    if (Session != nullptr) le_msg_DeleteSession(Session);
    Session = nullptr;
    Handlers.clear();
}

le_result_t le_EnOcean_SendData(uint8_t packetType, const uint8_t* data, size_t dataSize, const uint8_t* optData,
                                size_t optSize)
{
    if (dataSize > LE_ENOCEAN_DATA_MAX || optSize > LE_ENOCEAN_OPTIONAL_MAX) return LE_BAD_PARAMETER;
    le_ipc_Value_t args[3] = {};
    args[0].num = packetType;
    args[1].data = data;
    args[1].size = dataSize;
    args[2].data = optData;
    args[2].size = optSize;
    le_result_t result = LE_FAULT;
    le_result_t r = Call(LE_ENOCEAN_SEND_DATA, args, &result);
    return r == LE_OK ? result : r;
}

void le_EnOcean_DeleteSensor(const char* sensorId)
{
    le_ipc_Value_t args[1] = {};
    args[0].data = sensorId;
    args[0].size = sensorId ? strnlen(sensorId, LE_ENOCEAN_SENSOR_ID_MAX + 1) : 0;
    if (args[0].size > LE_ENOCEAN_SENSOR_ID_MAX) return;
    Call(LE_ENOCEAN_DELETE_SENSOR, args, nullptr);
}

void le_EnOcean_LearnModeON(void)
{
    Call(LE_ENOCEAN_LEARN_MODE_ON, nullptr, nullptr);
}

le_EnOcean_ReceiveHandlerRef_t le_EnOcean_AddOnReceiveHandler(le_EnOcean_ReceiveHandlerFunc_t handler,
                                                              void* contextPtr)
{
    if (handler == nullptr) return nullptr;
    uint64_t id = NextId++;
    le_ipc_Value_t args[2] = {};
    args[0].num = id;
    if (Call(LE_ENOCEAN_ADD_RECEIVE_HANDLER, args, nullptr) != LE_OK) return nullptr;
    Handlers[id] = Handler{handler, contextPtr, args[1].num};
    return ToRef(id);
}

void le_EnOcean_RemoveOnReceiveHandler(le_EnOcean_ReceiveHandlerRef_t handlerRef)
{
    auto it = Handlers.find(FromRef(handlerRef));
    if (it == Handlers.end()) return;
    le_ipc_Value_t args[1] = {};
    args[0].num = it->second.serverRef;
    Handlers.erase(it);
    Call(LE_ENOCEAN_REMOVE_RECEIVE_HANDLER, args, nullptr);
}
