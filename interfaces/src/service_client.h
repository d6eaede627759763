// The client side every service shares: one session to the gateway, the handlers keyed by the
// context id the server echoes as the first field of each of its events, the disconnect handler
// and the call. A service's client keeps only its typed entry points and the delivery of its events.
#pragma once

#include "le_ipcService.h"

#include <map>
#include <string>

struct ClientHandler
{
    size_t event;        // the event index it takes
    void (*func)();      // the typed function, cast back by the service's delivery
    void* context;
    uint64_t serverRef;
};

struct ServiceClient
{
    const le_ipc_Interface_t* iface;
    // Calls a handler with an event's fields; called only for an event of the handler's index.
    void (*deliver)(const le_ipc_Value_t* fields, const ClientHandler& handler);
    le_msg_SessionRef_t session = nullptr;
    std::map<uint64_t, ClientHandler> handlers{};
    uint64_t nextId = 1;
    void (*disconnected)(void*) = nullptr;
    void* disconnectedContext = nullptr;
};

#define SERVICE_EVENT_FIELDS_MAX 8

le_result_t ServiceTryConnect(ServiceClient* c);
// Tries every 100 ms until the gateway answers.
void ServiceConnect(ServiceClient* c);
void ServiceDisconnect(ServiceClient* c);
void ServiceSetDisconnectHandler(ServiceClient* c, void (*handler)(void*), void* contextPtr);
// The call's own failure (LE_CLOSED, ...) or else the operation's result.
le_result_t ServiceCall(ServiceClient* c, uint32_t method, le_ipc_Value_t* args);
// Registers func for the event with the add method, whose args[idArg] gets the handler's id and
// whose args[refArg] answers the server's reference. NULL without a function or when refused.
void* ServiceAddHandler(ServiceClient* c, size_t event, void (*func)(), void* contextPtr, uint32_t method,
                        le_ipc_Value_t* args, size_t idArg, size_t refArg);
// Unregisters a handler of the event with the remove method; unknown references are ignored.
void ServiceRemoveHandler(ServiceClient* c, size_t event, void* ref, uint32_t method);
// A string field as a terminated string, up to a zero byte.
std::string ServiceText(const le_ipc_Value_t& v);
