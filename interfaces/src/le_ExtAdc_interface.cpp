#include "le_ExtAdc_interface.h"

namespace
{
const le_ipc_Param_t Pins[] = {{"Pins", LE_IPC_UINT32, false, 0}};
const le_ipc_Param_t SetGain[] = {{"Channel", LE_IPC_UINT32, false, 0}, {"Gain", LE_IPC_UINT32, false, 0}};
const le_ipc_Param_t Speed[] = {{"Speed", LE_IPC_UINT32, false, 0}};
const le_ipc_Param_t Path[] = {{"Path", LE_IPC_STRING, false, LE_EXTADC_PATH_MAX}};
const le_ipc_Param_t GetValue[LE_EXTADC_GET_PARAMS] = {
    {"OutputMask", LE_IPC_UINT32, false, 0},
    {"Channel", LE_IPC_UINT32, false, 0},
    {"RawData", LE_IPC_UINT16, true, 0, LE_EXTADC_WANT_RAW},
    {"Percentage", LE_IPC_DOUBLE, true, 0, LE_EXTADC_WANT_PERCENTAGE},
    {"ConvertedValue", LE_IPC_DOUBLE, true, 0, LE_EXTADC_WANT_CONVERTED},
};
const le_ipc_Param_t Interval[] = {{"Interval", LE_IPC_UINT32, false, 0}};
const le_ipc_Param_t SetConverter[] = {
    {"Channel", LE_IPC_UINT32, false, 0}, {"Min", LE_IPC_DOUBLE, false, 0}, {"Max", LE_IPC_DOUBLE, false, 0}};
const le_ipc_Param_t SetInterface[] = {{"Channel", LE_IPC_UINT32, false, 0}, {"Type", LE_IPC_UINT32, false, 0}};
const le_ipc_Param_t SetEdges[] = {{"Channel", LE_IPC_UINT32, false, 0},
                                   {"Low", LE_IPC_DOUBLE, false, 0},
                                   {"High", LE_IPC_DOUBLE, false, 0},
                                   {"Hysteresis", LE_IPC_DOUBLE, false, 0}};
const le_ipc_Param_t AddHandler[] = {{"ChannelMask", LE_IPC_UINT8, false, 0},
                                     {"Context", LE_IPC_REF, false, 0},
                                     {"HandlerRef", LE_IPC_REF, true, 0}};
const le_ipc_Param_t RemoveHandler[] = {{"HandlerRef", LE_IPC_REF, false, 0}};

const le_ipc_Method_t Methods[] = {
    {"SetDeviceAddress", Pins, 1, true},
    {"SetGain", SetGain, 2, true},
    {"SetConversionSpeed", Speed, 1, true},
    {"SetFileDescriptor", Path, 1, true},
    {"GetValue", GetValue, LE_EXTADC_GET_PARAMS, true},
    {"SetInterval", Interval, 1, true},
    {"MeasureNow", nullptr, 0, false},
    {"SetConverter", SetConverter, 3, true},
    {"SetInterface", SetInterface, 2, false},
    {"SetEdges", SetEdges, 4, true},
    {"MutexLock", nullptr, 0, false},
    {"MutexUnlock", nullptr, 0, false},
    {"AddOnValueHandler", AddHandler, 3, false},
    {"RemoveOnValueHandler", RemoveHandler, 1, false},
    {"AddOnAlertHandler", AddHandler, 3, false},
    {"RemoveOnAlertHandler", RemoveHandler, 1, false},
};

const le_ipc_Param_t ValueFields[LE_EXTADC_VALUE_FIELDS] = {
    {"Context", LE_IPC_REF, false, 0},        {"Sensor", LE_IPC_UINT32, false, 0},
    {"RawData", LE_IPC_UINT16, false, 0},     {"Percentage", LE_IPC_DOUBLE, false, 0},
    {"ConvertedValue", LE_IPC_DOUBLE, false, 0},
};
const le_ipc_Param_t AlertFields[LE_EXTADC_ALERT_FIELDS] = {
    {"Context", LE_IPC_REF, false, 0},    {"Sensor", LE_IPC_UINT32, false, 0},
    {"Edge", LE_IPC_UINT32, false, 0},    {"RawData", LE_IPC_UINT16, false, 0},
    {"Percentage", LE_IPC_DOUBLE, false, 0}, {"ConvertedValue", LE_IPC_DOUBLE, false, 0},
};

const le_ipc_Event_t Events[] = {
    {"OnValue", LE_EXTADC_ADD_VALUE_HANDLER, ValueFields, LE_EXTADC_VALUE_FIELDS},
    {"OnAlert", LE_EXTADC_ADD_ALERT_HANDLER, AlertFields, LE_EXTADC_ALERT_FIELDS},
};
}

const le_ipc_Interface_t le_ExtAdc_Interface = {
    "le_ExtAdc", LE_EXTADC_PROTOCOL_ID, LE_EXTADC_LARGEST_MSG, Methods, 16, Events, 2,
};

const le_ipc_Interface_t le_ExtAdcAddON_Interface = {
    "le_ExtAdcAddON", LE_EXTADC_PROTOCOL_ID, LE_EXTADC_LARGEST_MSG, Methods, 16, Events, 2,
};
