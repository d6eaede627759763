// Serves le_EModbus on the component's main loop, on the Modbus link.
#include "Modbus.h"
#include "le_EModbus_interface.h"
#include "service_server.h"
#include "veltrona_services.h"

namespace
{
le_msg_ServiceRef_t Service = nullptr;
ServerRegistry Registry{"le_EModbus_ServerHandlers", true};

void ForwardAnswer(const uint8_t* answer, size_t size, void* contextPtr)
{
    auto* reg = static_cast<ServerRegistration*>(contextPtr);
    le_ipc_Value_t fields[LE_EMODBUS_EVENT_FIELDS] = {};
    fields[LE_EMODBUS_EVENT_CONTEXT].num = reg->clientContext;
    fields[LE_EMODBUS_EVENT_DATA].data = answer;
    fields[LE_EMODBUS_EVENT_DATA].size = size;
    le_ipc_SendEvent(reg->session, &le_EModbus_Interface, 0, fields);
}

void RemoveFromLink(const ServerRegistration* reg)
{
    le_EModbus_RemoveOnReceiveHandler(static_cast<le_EModbus_ReceiveHandlerRef_t>(reg->componentRef));
}

// A client that goes away takes its handlers with it.
void SessionClosed(le_msg_SessionRef_t session, void*)
{
    LE_INFO("Client %p is closed !!!", static_cast<void*>(session));
    RegistrySessionClosed(&Registry, session);
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
    ServerRegistration* reg = RegistryAdd(&Registry, call, call->args[0].num, 0, nullptr);
    // NULL when the link was never started.
    RegistryCommit(&Registry, reg, le_EModbus_AddOnReceiveHandler(ForwardAnswer, reg), RemoveFromLink,
                   &call->args[1].num);
}

void ServeRemoveOnReceiveHandler(le_ipc_ServerCall_t* call)
{
    RegistryRemove(&Registry, call, call->args[0].num, 0);
}

const le_ipc_Implementation_t Implementations[] = {
    ServeStart, ServeStop, ServeSendRequest, ServeSetBaudRate, ServeAddOnReceiveHandler, ServeRemoveOnReceiveHandler,
};
}

void le_EModbus_AdvertiseService(void)
{
    if (Service != nullptr) return;
    RegistryInit(&Registry);
    Service = le_ipc_AdvertiseInterface(&le_EModbus_Interface, Implementations);
    le_msg_AddServiceCloseHandler(Service, SessionClosed, nullptr);
}

le_msg_ServiceRef_t le_EModbus_GetServiceRef(void)
{
    return Service;
}

size_t le_EModbus_ClientHandlerCount(void)
{
    return RegistryCount(&Registry);
}
