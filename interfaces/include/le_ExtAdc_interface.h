// The le_ExtAdc interface, offered twice: as le_ExtAdc (the base board's converter) and as
// le_ExtAdcAddON (the add-on board's). One description, two service names.
#pragma once

#include "le_ipcService.h"

#define LE_EXTADC_PROTOCOL_ID "9ac2e62566cb30db0a204ce2dd39d54f"
#define LE_EXTADC_LARGEST_MSG 216
#define LE_EXTADC_PATH_MAX 200

// Message ids: the operations' positions.
enum
{
    LE_EXTADC_SET_DEVICE_ADDRESS = 0,
    LE_EXTADC_SET_GAIN = 1,
    LE_EXTADC_SET_CONVERSION_SPEED = 2,
    LE_EXTADC_SET_FILE_DESCRIPTOR = 3,
    LE_EXTADC_GET_VALUE = 4,
    LE_EXTADC_SET_INTERVAL = 5,
    LE_EXTADC_MEASURE_NOW = 6,
    LE_EXTADC_SET_CONVERTER = 7,
    LE_EXTADC_SET_INTERFACE = 8,
    LE_EXTADC_SET_EDGES = 9,
    LE_EXTADC_MUTEX_LOCK = 10,
    LE_EXTADC_MUTEX_UNLOCK = 11,
    LE_EXTADC_ADD_VALUE_HANDLER = 12,
    LE_EXTADC_REMOVE_VALUE_HANDLER = 13,
    LE_EXTADC_ADD_ALERT_HANDLER = 14,
    LE_EXTADC_REMOVE_ALERT_HANDLER = 15
};

// GetValue's first parameter: the outputs the client wants.
#define LE_EXTADC_WANT_RAW 0x1u
#define LE_EXTADC_WANT_PERCENTAGE 0x2u
#define LE_EXTADC_WANT_CONVERTED 0x4u

// GetValue's parameters, in order.
enum
{
    LE_EXTADC_GET_OUTPUT_MASK,
    LE_EXTADC_GET_CHANNEL,
    LE_EXTADC_GET_RAW,
    LE_EXTADC_GET_PERCENTAGE,
    LE_EXTADC_GET_CONVERTED,
    LE_EXTADC_GET_PARAMS
};

// Fields of the OnValue event (message id 12) and of the OnAlert event (message id 14), in order.
enum
{
    LE_EXTADC_VALUE_CONTEXT,
    LE_EXTADC_VALUE_SENSOR,
    LE_EXTADC_VALUE_RAW,
    LE_EXTADC_VALUE_PERCENTAGE,
    LE_EXTADC_VALUE_CONVERTED,
    LE_EXTADC_VALUE_FIELDS
};
enum
{
    LE_EXTADC_ALERT_CONTEXT,
    LE_EXTADC_ALERT_SENSOR,
    LE_EXTADC_ALERT_EDGE,
    LE_EXTADC_ALERT_RAW,
    LE_EXTADC_ALERT_PERCENTAGE,
    LE_EXTADC_ALERT_CONVERTED,
    LE_EXTADC_ALERT_FIELDS
};
// Event indexes in the description.
#define LE_EXTADC_EVENT_VALUE 0
#define LE_EXTADC_EVENT_ALERT 1

extern const le_ipc_Interface_t le_ExtAdc_Interface;
extern const le_ipc_Interface_t le_ExtAdcAddON_Interface;
