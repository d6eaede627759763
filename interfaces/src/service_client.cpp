#include "service_client.h"
#include "le_clock.h"
#include "le_log.h"

#include <string>

namespace
{
// A handler reference is its id shifted and tagged, never NULL and never a pointer.
void* ToRef(uint64_t id)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>((id << 1) | 1u));
}

uint64_t FromRef(void* ref)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ref)) >> 1;
}

void OnEvent(le_msg_MessageRef_t msg, void* contextPtr)
{
    auto* c = static_cast<ServiceClient*>(contextPtr);
    le_ipc_Value_t fields[SERVICE_EVENT_FIELDS_MAX] = {};
    size_t event = 0;
    if (!le_ipc_UnpackEvent(c->iface, msg, &event, fields))
    {
        LE_ERROR("%s: an event from the gateway does not unpack; dropped", c->iface->serviceName);
        le_msg_ReleaseMsg(msg);
        return;
    }
    auto it = c->handlers.find(fields[0].num);
    if (it != c->handlers.end() && it->second.event == event)
    {
        ClientHandler h = it->second;   // the handler may remove itself
        c->deliver(fields, h);
    }
    le_msg_ReleaseMsg(msg);
}

void OnClose(le_msg_SessionRef_t, void* contextPtr)
{
    auto* c = static_cast<ServiceClient*>(contextPtr);
    LE_WARN("%s: the gateway closed the session", c->iface->serviceName);
    c->handlers.clear();
    if (c->disconnected) c->disconnected(c->disconnectedContext);
}
}

le_result_t ServiceTryConnect(ServiceClient* c)
{
    for (size_t i = 0; i < c->iface->eventCount; i++)
    {
        if (c->iface->events[i].fieldCount > SERVICE_EVENT_FIELDS_MAX) return LE_FAULT;
    }
    if (c->session != nullptr && le_msg_IsSessionOpen(c->session)) return LE_OK;
    ServiceDisconnect(c);
    le_result_t r = le_ipc_OpenSession(c->iface, OnEvent, c, &c->session);
    if (r != LE_OK) c->session = nullptr;
    else le_msg_SetSessionCloseHandler(c->session, OnClose, c);
    return r;
}

void ServiceConnect(ServiceClient* c)
{
    while (ServiceTryConnect(c) != LE_OK) le_thread_SleepMs(100);
}

void ServiceDisconnect(ServiceClient* c)
{
    if (c->session != nullptr) le_msg_DeleteSession(c->session);
    c->session = nullptr;
    c->handlers.clear();
}

void ServiceSetDisconnectHandler(ServiceClient* c, void (*handler)(void*), void* contextPtr)
{
    c->disconnected = handler;
    c->disconnectedContext = contextPtr;
}

le_result_t ServiceCall(ServiceClient* c, uint32_t method, le_ipc_Value_t* args)
{
    le_result_t result = LE_OK;
    le_result_t r = le_ipc_Call(c->session, c->iface, method, args, &result, nullptr);
    return r == LE_OK ? result : r;
}

void* ServiceAddHandler(ServiceClient* c, size_t event, void (*func)(), void* contextPtr, uint32_t method,
                        le_ipc_Value_t* args, size_t idArg, size_t refArg)
{
    if (func == nullptr) return nullptr;
    uint64_t id = c->nextId++;
    args[idArg].num = id;
    if (ServiceCall(c, method, args) != LE_OK || args[refArg].num == 0) return nullptr;
    c->handlers[id] = ClientHandler{event, func, contextPtr, args[refArg].num};
    return ToRef(id);
}

void ServiceRemoveHandler(ServiceClient* c, size_t event, void* ref, uint32_t method)
{
    auto it = c->handlers.find(FromRef(ref));
    if (it == c->handlers.end() || it->second.event != event) return;
    le_ipc_Value_t args[1] = {};
    args[0].num = it->second.serverRef;
    c->handlers.erase(it);
    ServiceCall(c, method, args);
}

std::string ServiceText(const le_ipc_Value_t& v)
{
    return std::string(static_cast<const char*>(v.data), v.size).c_str();
}
