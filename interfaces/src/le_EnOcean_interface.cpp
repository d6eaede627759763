#include "le_EnOcean_interface.h"

namespace
{
const le_ipc_Param_t SendData[] = {
    {"PacketType", LE_IPC_UINT8, false, 0},
    {"Data", LE_IPC_BYTES, false, LE_ENOCEAN_DATA_MAX},
    {"OptionalData", LE_IPC_BYTES, false, LE_ENOCEAN_OPTIONAL_MAX},
};
const le_ipc_Param_t DeleteSensor[] = {{"SensorId", LE_IPC_STRING, false, LE_ENOCEAN_SENSOR_ID_MAX}};
const le_ipc_Param_t AddOnReceiveHandler[] = {
    {"Context", LE_IPC_REF, false, 0},
    {"HandlerRef", LE_IPC_REF, true, 0},
};
const le_ipc_Param_t RemoveOnReceiveHandler[] = {{"HandlerRef", LE_IPC_REF, false, 0}};

const le_ipc_Method_t Methods[] = {
    {"le_EnOcean_SendData", SendData, 3, true},
    {"le_EnOcean_DeleteSensor", DeleteSensor, 1, false},
    {"le_EnOcean_LearnModeON", nullptr, 0, false},
    {"le_EnOcean_AddOnReceiveHandler", AddOnReceiveHandler, 2, false},
    {"le_EnOcean_RemoveOnReceiveHandler", RemoveOnReceiveHandler, 1, false},
};

const le_ipc_Param_t ReceiveFields[LE_ENOCEAN_EVENT_FIELDS] = {
    {"Context", LE_IPC_REF, false, 0},
    {"PacketType", LE_IPC_UINT8, false, 0},
    {"Data", LE_IPC_BYTES, false, LE_ENOCEAN_DATA_MAX},
    {"UnitID", LE_IPC_STRING, false, 10},
    {"EEP", LE_IPC_STRING, false, 8},
    {"JSON", LE_IPC_STRING, false, 65536},
    {"Secure", LE_IPC_BOOL, false, 0},
};

const le_ipc_Event_t Events[] = {{"le_EnOcean_OnReceive", LE_ENOCEAN_ADD_RECEIVE_HANDLER, ReceiveFields,
                                  LE_ENOCEAN_EVENT_FIELDS}};
}

const le_ipc_Interface_t le_EnOcean_Interface = {
    "le_EnOcean", LE_ENOCEAN_PROTOCOL_ID, LE_ENOCEAN_LARGEST_MSG, Methods, 5, Events, 1,
};
