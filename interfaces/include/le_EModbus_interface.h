// The le_EModbus service: the Modbus RTU master on the module's second serial port.
#pragma once

#include "le_ipcService.h"

#define LE_EMODBUS_PROTOCOL_ID "1b7f08c638d26cd5fb4bacd321a055b9"
#define LE_EMODBUS_LARGEST_MSG 272
#define LE_EMODBUS_DATA_MAX 256

// Message ids: the methods' positions.
enum
{
    LE_EMODBUS_START = 0,
    LE_EMODBUS_STOP = 1,
    LE_EMODBUS_SEND_REQUEST = 2,           // in: request bytes; result
    LE_EMODBUS_SET_BAUD_RATE = 3,          // in: baud rate; result
    LE_EMODBUS_ADD_RECEIVE_HANDLER = 4,    // in: client context; out: handler reference
    LE_EMODBUS_REMOVE_RECEIVE_HANDLER = 5  // in: handler reference
};

// Fields of the receive event (message id 4), in order.
enum
{
    LE_EMODBUS_EVENT_CONTEXT,
    LE_EMODBUS_EVENT_DATA,
    LE_EMODBUS_EVENT_FIELDS
};

extern const le_ipc_Interface_t le_EModbus_Interface;
