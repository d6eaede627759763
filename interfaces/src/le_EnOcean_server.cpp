// Serves le_EnOcean on the component's main loop, on the gateway's link.
#include "EnOcean.h"
#include "le_EnOcean_interface.h"
#include "veltrona_services.h"

#include <cstring>
#include <vector>

namespace
{
le_msg_ServiceRef_t Service = nullptr;

// A client's receive handler as the gateway holds it.
struct ClientHandler
{
    uint64_t id;   // the reference handed to the client
    le_msg_SessionRef_t session;
    uint64_t clientContext;
    le_EnOcean_ReceiveHandlerRef_t gatewayRef;
};
std::vector<ClientHandler*> ClientHandlers;
uint64_t NextHandlerId = 1;

void SendReceiveEvent(uint8_t packetType, const uint8_t* payload, size_t size, const char* unitId, const char* eep,
                      const char* json, bool secure, void* contextPtr)
{
    auto* h = static_cast<ClientHandler*>(contextPtr);
    le_ipc_Value_t fields[LE_ENOCEAN_EVENT_FIELDS] = {};
    fields[LE_ENOCEAN_EVENT_CONTEXT].num = h->clientContext;
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
    le_ipc_SendEvent(h->session, &le_EnOcean_Interface, 0, fields);
}

void Remove(size_t index)
{
    ClientHandler* h = ClientHandlers[index];
    le_EnOcean_RemoveOnReceiveHandler(h->gatewayRef);
    ClientHandlers.erase(ClientHandlers.begin() + static_cast<long>(index));
    delete h;
}

// A client that goes away takes its handlers with it.
void SessionClosed(le_msg_SessionRef_t session, void*)
{
    for (size_t i = ClientHandlers.size(); i-- > 0;)
    {
        if (ClientHandlers[i]->session == session) Remove(i);
    }
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
    auto* h = new ClientHandler{NextHandlerId++, call->session, call->args[0].num, nullptr};
    h->gatewayRef = le_EnOcean_AddOnReceiveHandler(SendReceiveEvent, h);
    ClientHandlers.push_back(h);
    call->args[1].num = h->id;
}

void ServeRemoveOnReceiveHandler(le_ipc_ServerCall_t* call)
{
    // Only the session that added a handler may remove it; an unknown reference changes nothing.
    for (size_t i = 0; i < ClientHandlers.size(); i++)
    {
        if (ClientHandlers[i]->id == call->args[0].num && ClientHandlers[i]->session == call->session)
        {
            Remove(i);
            return;
        }
    }
}

const le_ipc_Implementation_t Implementations[] = {
    ServeSendData, ServeDeleteSensor, ServeLearnModeON, ServeAddOnReceiveHandler, ServeRemoveOnReceiveHandler,
};
}

void le_EnOcean_AdvertiseService(void)
{
    if (Service != nullptr) return;
    Service = le_ipc_AdvertiseInterface(&le_EnOcean_Interface, Implementations);
    le_msg_AddServiceCloseHandler(Service, SessionClosed, nullptr);
}

le_msg_ServiceRef_t le_EnOcean_GetServiceRef(void)
{
    return Service;
}

size_t le_EnOcean_ClientHandlerCount(void)
{
    return ClientHandlers.size();
}
