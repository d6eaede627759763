// Serves le_EModbus on the component's main loop, on the Modbus link.
#include "Modbus.h"
#include "le_EModbus_interface.h"
#include "le_ref.h"
#include "veltrona_services.h"

#include <vector>

namespace
{
le_msg_ServiceRef_t Service = nullptr;

// A client's receive handler as the server keeps it.
struct ServerHandler
{
    le_msg_SessionRef_t session;
    uint64_t clientContext;
    le_EModbus_ReceiveHandlerRef_t linkRef;
    void (*remove)(le_EModbus_ReceiveHandlerRef_t);
};
le_mem_PoolRef_t ServerData = nullptr;
le_ref_MapRef_t ServerHandlers = nullptr;
le_mutex_Ref_t ServerLock = nullptr;

void ForwardAnswer(const uint8_t* answer, size_t size, void* contextPtr)
{
    auto* h = static_cast<ServerHandler*>(contextPtr);
    le_ipc_Value_t fields[LE_EMODBUS_EVENT_FIELDS] = {};
    fields[LE_EMODBUS_EVENT_CONTEXT].num = h->clientContext;
    fields[LE_EMODBUS_EVENT_DATA].data = answer;
    fields[LE_EMODBUS_EVENT_DATA].size = size;
    le_ipc_SendEvent(h->session, &le_EModbus_Interface, 0, fields);
}

// Forgets one record: its safe reference, its link handler and the record itself.
void Release(void* safeRef, ServerHandler* h)
{
    le_ref_DeleteRef(ServerHandlers, safeRef);
    h->remove(h->linkRef);
    le_mem_Release(h);
}

struct ClosedSession
{
    le_msg_SessionRef_t session;
    std::vector<void*> refs;
};

void CollectSessionRef(void* safeRef, void* ptr, void* ctx)
{
    auto* closed = static_cast<ClosedSession*>(ctx);
    if (static_cast<ServerHandler*>(ptr)->session == closed->session) closed->refs.push_back(safeRef);
}

// A client that goes away takes its handlers with it.
void SessionClosed(le_msg_SessionRef_t session, void*)
{
    LE_INFO("Client %p is closed !!!", static_cast<void*>(session));
    le_mutex_Lock(ServerLock);
    ClosedSession closed{session, {}};
    le_ref_ForEach(ServerHandlers, CollectSessionRef, &closed);
    for (void* ref : closed.refs) Release(ref, static_cast<ServerHandler*>(le_ref_Lookup(ServerHandlers, ref)));
    le_mutex_Unlock(ServerLock);
}

void ServeStart(le_ipc_ServerCall_t*)
{
    le_EModbus_Start();
}

void ServeStop(le_ipc_ServerCall_t*)
{
    le_EModbus_Stop();
}

void ServeSendRequest(le_ipc_ServerCall_t* call)
{
    call->result = le_EModbus_SendRequest(static_cast<const uint8_t*>(call->args[0].data), call->args[0].size);
}

void ServeSetBaudRate(le_ipc_ServerCall_t* call)
{
    call->result = le_EModbus_SetBaudRate(static_cast<uint32_t>(call->args[0].num));
}

void ServeAddOnReceiveHandler(le_ipc_ServerCall_t* call)
{
    auto* h = static_cast<ServerHandler*>(le_mem_ForceAlloc(ServerData));
    *h = ServerHandler{call->session, call->args[0].num, nullptr, nullptr};
    h->linkRef = le_EModbus_AddOnReceiveHandler(ForwardAnswer, h);
    if (h->linkRef == nullptr)   // the link was never started
    {
        le_mem_Release(h);
        call->args[1].num = 0;
        return;
    }
    h->remove = le_EModbus_RemoveOnReceiveHandler;
    le_mutex_Lock(ServerLock);
    call->args[1].num = reinterpret_cast<uintptr_t>(le_ref_CreateRef(ServerHandlers, h));
    le_mutex_Unlock(ServerLock);
}

void ServeRemoveOnReceiveHandler(le_ipc_ServerCall_t* call)
{
    void* ref = reinterpret_cast<void*>(static_cast<uintptr_t>(call->args[0].num));
    le_mutex_Lock(ServerLock);
    auto* h = static_cast<ServerHandler*>(le_ref_Lookup(ServerHandlers, ref));
    // A reference of another client's handler is as unknown as one never handed out.
    if (h == nullptr || h->session != call->session)
    {
        le_mutex_Unlock(ServerLock);
        LE_INFO("Invalid reference");
        call->closeSession = true;
        return;
    }
    Release(ref, h);
    le_mutex_Unlock(ServerLock);
}

const le_ipc_Implementation_t Implementations[] = {
    ServeStart, ServeStop, ServeSendRequest, ServeSetBaudRate, ServeAddOnReceiveHandler, ServeRemoveOnReceiveHandler,
};
}

void le_EModbus_AdvertiseService(void)
{
    if (Service != nullptr) return;
    ServerData = le_mem_CreatePool("le_EModbus_ServerData", sizeof(ServerHandler));
    ServerHandlers = le_ref_CreateMap("le_EModbus_ServerHandlers", 3);
    ServerLock = le_mutex_CreateRecursive("le_EModbus_ServerLock");
    Service = le_ipc_AdvertiseInterface(&le_EModbus_Interface, Implementations);
    le_msg_AddServiceCloseHandler(Service, SessionClosed, nullptr);
}

le_msg_ServiceRef_t le_EModbus_GetServiceRef(void)
{
    return Service;
}

size_t le_EModbus_ClientHandlerCount(void)
{
    return ServerHandlers ? le_ref_Count(ServerHandlers) : 0;
}
