// The server side every service shares: the registrations of the clients' event handlers, each
// standing for a handler of the component's, found again by the safe reference handed to the
// client, removed only by the session that made it, and all removed when that session closes.
#pragma once

#include "le_ipcService.h"
#include "le_ref.h"
#include "le_log.h"
#include "le_mem.h"
#include "le_thread.h"

struct ServerRegistration
{
    le_msg_SessionRef_t session;
    uint64_t clientContext;   // echoed as the first field of each event
    size_t event;             // the event index the handler receives
    void* owner;              // the service's own record the registration belongs to
    void* safeRef;            // what the client holds
    void* componentRef;       // the component's handler
    void (*remove)(const ServerRegistration* reg);   // removes the component's handler
};

struct ServerRegistry
{
    const char* name;              // of the reference map
    bool closeOnUnknownRef;        // a remove with a reference the session does not hold closes it
    le_ref_MapRef_t refs = nullptr;
    le_mem_PoolRef_t pool = nullptr;
    le_mutex_Ref_t lock = nullptr;   // the forwarding functions may look registrations up from other threads
};

void RegistryInit(ServerRegistry* r);
// A registration of the calling session, before the component's handler exists, so that the
// component may call the forwarding function at once.
ServerRegistration* RegistryAdd(ServerRegistry* r, le_ipc_ServerCall_t* call, uint64_t clientContext, size_t event,
                                void* owner);
// Completes a registration with the component's handler and answers its reference in *refPtr; a
// component that refused (NULL) drops it and 0 is answered.
void RegistryCommit(ServerRegistry* r, ServerRegistration* reg, void* componentRef,
                    void (*remove)(const ServerRegistration*), uint64_t* refPtr);
// The remove operation: the registration of that reference, session and event is removed; any
// other reference is "Invalid reference" and, where the registry says so, closes the session.
void RegistryRemove(ServerRegistry* r, le_ipc_ServerCall_t* call, uint64_t ref, size_t event);
// Removes every registration of a session that closed.
void RegistrySessionClosed(ServerRegistry* r, le_msg_SessionRef_t session);
// Whether the registration of that reference and session still stands.
bool RegistryHolds(ServerRegistry* r, void* safeRef, le_msg_SessionRef_t session);
size_t RegistryCount(const ServerRegistry* r);
