// Serves le_EnOcean on the component's main loop, on the gateway's link.
#include "EnOcean.h"
#include "le_EnOcean_interface.h"
#include "service_server.h"
#include "veltrona_services.h"

#include <cstring>

namespace
{
le_msg_ServiceRef_t Service = nullptr;

// An unknown reference changes nothing here: the client keeps its session.
ServerRegistry Registry{"le_EnOcean_ServerHandlers", false};

void SendReceiveEvent(uint8_t packetType, const uint8_t* payload, size_t size, const char* unitId, const char* eep,
                      const char* json, bool secure, void* contextPtr)
{
    auto* reg = static_cast<ServerRegistration*>(contextPtr);
    le_ipc_Value_t fields[LE_ENOCEAN_EVENT_FIELDS] = {};
    fields[LE_ENOCEAN_EVENT_CONTEXT].num = reg->clientContext;
    fields[LE_ENOCEAN_EVENT_PACKET_TYPE].num = packetType;
    fields[LE_ENOCEAN_EVENT_DATA].data = payload;
    fields[LE_ENOCEAN_EVENT_DATA].size = size;
    fields[LE_ENOCEAN_EVENT_UNIT_ID].data = unitId;
    fields[LE_ENOCEAN_EVENT_UNIT_ID].size = strlen(unitId);
    fields[LE_ENOCEAN_EVENT_EEP].data = eep;
    fields[LE_ENOCEAN_EVENT_EEP].size = strlen(eep);
    fields[LE_ENOCEAN_EVENT_JSON].data = json;
    fields[LE_ENOCEAN_EVENT_JSON].size = strlen(json);
    fields[LE_ENOCEAN_EVENT_SECURE].num = secure ? 1 : 0;
    le_ipc_SendEvent(reg->session, &le_EnOcean_Interface, 0, fields);
}

void RemoveFromGateway(const ServerRegistration* reg)
{
    le_EnOcean_RemoveOnReceiveHandler(static_cast<le_EnOcean_ReceiveHandlerRef_t>(reg->componentRef));
}

// A client that goes away takes its handlers with it.
void SessionClosed(le_msg_SessionRef_t session, void*)
{
    RegistrySessionClosed(&Registry, session);
}

void ServeSendData(le_ipc_ServerCall_t* call)
{
    const le_ipc_Value_t* a = call->args;
    call->result = le_EnOcean_SendData(static_cast<uint8_t>(a[0].num), static_cast<const uint8_t*>(a[1].data),
                                       a[1].size, static_cast<const uint8_t*>(a[2].data), a[2].size);
}

void ServeDeleteSensor(le_ipc_ServerCall_t* call)
{
    char id[LE_ENOCEAN_SENSOR_ID_MAX + 1];
    le_ipc_CopyString(&call->args[0], id, sizeof(id));
    LE_INFO("le_EnOcean_DeleteSensor(%s): no effect; sensors are deleted through sensors/<id>/delete", id);
}

void ServeLearnModeON(le_ipc_ServerCall_t*)
{
    LE_INFO("le_EnOcean_LearnModeON: no effect; learning is opened through settings/learn");
}

void ServeAddOnReceiveHandler(le_ipc_ServerCall_t* call)
{
    ServerRegistration* reg = RegistryAdd(&Registry, call, call->args[0].num, 0, nullptr);
    RegistryCommit(&Registry, reg, le_EnOcean_AddOnReceiveHandler(SendReceiveEvent, reg), RemoveFromGateway,
                   &call->args[1].num);
}

void ServeRemoveOnReceiveHandler(le_ipc_ServerCall_t* call)
{
    RegistryRemove(&Registry, call, call->args[0].num, 0);
}

const le_ipc_Implementation_t Implementations[] = {
    ServeSendData, ServeDeleteSensor, ServeLearnModeON, ServeAddOnReceiveHandler, ServeRemoveOnReceiveHandler,
};
}

void le_EnOcean_AdvertiseService(void)
{
    if (Service != nullptr) return;
    RegistryInit(&Registry);
    Service = le_ipc_AdvertiseInterface(&le_EnOcean_Interface, Implementations);
    le_msg_AddServiceCloseHandler(Service, SessionClosed, nullptr);
}

le_msg_ServiceRef_t le_EnOcean_GetServiceRef(void)
{
    return Service;
}

size_t le_EnOcean_ClientHandlerCount(void)
{
    return RegistryCount(&Registry);
}
