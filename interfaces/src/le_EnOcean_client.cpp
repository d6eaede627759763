#include "le_EnOcean_client.h"
#include "le_EnOcean_interface.h"
#include "service_client.h"

#include <cstring>

namespace
{
void Deliver(const le_ipc_Value_t* f, const ClientHandler& h)
{
    reinterpret_cast<le_EnOcean_ReceiveHandlerFunc_t>(h.func)(
        static_cast<uint8_t>(f[LE_ENOCEAN_EVENT_PACKET_TYPE].num),
        static_cast<const uint8_t*>(f[LE_ENOCEAN_EVENT_DATA].data), f[LE_ENOCEAN_EVENT_DATA].size,
        ServiceText(f[LE_ENOCEAN_EVENT_UNIT_ID]).c_str(), ServiceText(f[LE_ENOCEAN_EVENT_EEP]).c_str(),
        ServiceText(f[LE_ENOCEAN_EVENT_JSON]).c_str(), f[LE_ENOCEAN_EVENT_SECURE].num != 0, h.context);
}

ServiceClient Client{&le_EnOcean_Interface, Deliver};
}

le_result_t le_EnOcean_TryConnectService(void)
{
    return ServiceTryConnect(&Client);
}

void le_EnOcean_ConnectService(void)
{
    ServiceConnect(&Client);
}

void le_EnOcean_SetDisconnectHandler(void (*handler)(void* contextPtr), void* contextPtr)
{
    ServiceSetDisconnectHandler(&Client, handler, contextPtr);
}

void le_EnOcean_DisconnectService(void)
{
    ServiceDisconnect(&Client);
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
    return ServiceCall(&Client, LE_ENOCEAN_SEND_DATA, args);
}

void le_EnOcean_DeleteSensor(const char* sensorId)
{
    le_ipc_Value_t args[1] = {};
    args[0].data = sensorId;
    args[0].size = sensorId ? strnlen(sensorId, LE_ENOCEAN_SENSOR_ID_MAX + 1) : 0;
    if (args[0].size > LE_ENOCEAN_SENSOR_ID_MAX) return;
    ServiceCall(&Client, LE_ENOCEAN_DELETE_SENSOR, args);
}

void le_EnOcean_LearnModeON(void)
{
    ServiceCall(&Client, LE_ENOCEAN_LEARN_MODE_ON, nullptr);
}

le_EnOcean_ReceiveHandlerRef_t le_EnOcean_AddOnReceiveHandler(le_EnOcean_ReceiveHandlerFunc_t handler,
                                                              void* contextPtr)
{
    le_ipc_Value_t args[2] = {};
    return static_cast<le_EnOcean_ReceiveHandlerRef_t>(ServiceAddHandler(
        &Client, 0, reinterpret_cast<void (*)()>(handler), contextPtr, LE_ENOCEAN_ADD_RECEIVE_HANDLER, args, 0, 1));
}

void le_EnOcean_RemoveOnReceiveHandler(le_EnOcean_ReceiveHandlerRef_t handlerRef)
{
    ServiceRemoveHandler(&Client, 0, handlerRef, LE_ENOCEAN_REMOVE_RECEIVE_HANDLER);
}
