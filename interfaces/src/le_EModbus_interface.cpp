#include "le_EModbus_interface.h"

namespace
{
const le_ipc_Param_t SendRequest[] = {{"Data", LE_IPC_BYTES, false, LE_EMODBUS_DATA_MAX}};
const le_ipc_Param_t SetBaudRate[] = {{"BaudRate", LE_IPC_UINT32, false, 0}};
const le_ipc_Param_t AddOnReceiveHandler[] = {
    {"Context", LE_IPC_REF, false, 0},
    {"HandlerRef", LE_IPC_REF, true, 0},
};
const le_ipc_Param_t RemoveOnReceiveHandler[] = {{"HandlerRef", LE_IPC_REF, false, 0}};

const le_ipc_Method_t Methods[] = {
    {"le_EModbus_Start", nullptr, 0, false},
    {"le_EModbus_Stop", nullptr, 0, false},
    {"le_EModbus_SendRequest", SendRequest, 1, true},
    {"le_EModbus_SetBaudRate", SetBaudRate, 1, true},
    {"le_EModbus_AddOnReceiveHandler", AddOnReceiveHandler, 2, false},
    {"le_EModbus_RemoveOnReceiveHandler", RemoveOnReceiveHandler, 1, false},
};

const le_ipc_Param_t ReceiveFields[LE_EMODBUS_EVENT_FIELDS] = {
    {"Context", LE_IPC_REF, false, 0},
    {"DataResult", LE_IPC_BYTES, false, LE_EMODBUS_DATA_MAX},
};

const le_ipc_Event_t Events[] = {
    {"le_EModbus_OnReceive", LE_EMODBUS_ADD_RECEIVE_HANDLER, ReceiveFields, LE_EMODBUS_EVENT_FIELDS}};
}

const le_ipc_Interface_t le_EModbus_Interface = {
    "le_EModbus", LE_EMODBUS_PROTOCOL_ID, LE_EMODBUS_LARGEST_MSG, Methods, 6, Events, 1,
};
