#include "le_EModbus_client.h"
#include "le_EModbus_interface.h"
#include "service_client.h"

namespace
{
void Deliver(const le_ipc_Value_t* f, const ClientHandler& h)
{
    reinterpret_cast<le_EModbus_ReceiveHandlerFunc_t>(h.func)(
        static_cast<const uint8_t*>(f[LE_EMODBUS_EVENT_DATA].data), f[LE_EMODBUS_EVENT_DATA].size, h.context);
}

ServiceClient Client{&le_EModbus_Interface, Deliver};
}

le_result_t le_EModbus_TryConnectService(void)
{
    return ServiceTryConnect(&Client);
}

void le_EModbus_ConnectService(void)
{
    ServiceConnect(&Client);
}

void le_EModbus_SetDisconnectHandler(void (*handler)(void* contextPtr), void* contextPtr)
{
    ServiceSetDisconnectHandler(&Client, handler, contextPtr);
}

void le_EModbus_DisconnectService(void)
{
    ServiceDisconnect(&Client);
}

le_result_t le_EModbus_Start(void)
{
    return ServiceCall(&Client, LE_EMODBUS_START, nullptr);
}

le_result_t le_EModbus_Stop(void)
{
    return ServiceCall(&Client, LE_EMODBUS_STOP, nullptr);
}

le_result_t le_EModbus_SendRequest(const uint8_t* data, size_t count)
{
    if (count > LE_EMODBUS_DATA_MAX) return LE_BAD_PARAMETER;
    le_ipc_Value_t args[1] = {};
    args[0].data = data;
    args[0].size = count;
    return ServiceCall(&Client, LE_EMODBUS_SEND_REQUEST, args);
}

le_result_t le_EModbus_SetBaudRate(uint32_t baudRate)
{
    le_ipc_Value_t args[1] = {};
    args[0].num = baudRate;
    return ServiceCall(&Client, LE_EMODBUS_SET_BAUD_RATE, args);
}

le_EModbus_ReceiveHandlerRef_t le_EModbus_AddOnReceiveHandler(le_EModbus_ReceiveHandlerFunc_t handler,
                                                              void* contextPtr)
{
    le_ipc_Value_t args[2] = {};
    return static_cast<le_EModbus_ReceiveHandlerRef_t>(ServiceAddHandler(
        &Client, 0, reinterpret_cast<void (*)()>(handler), contextPtr, LE_EMODBUS_ADD_RECEIVE_HANDLER, args, 0, 1));
}

void le_EModbus_RemoveOnReceiveHandler(le_EModbus_ReceiveHandlerRef_t handlerRef)
{
    ServiceRemoveHandler(&Client, 0, handlerRef, LE_EMODBUS_REMOVE_RECEIVE_HANDLER);
}
