// The le_EnOcean service: raw ESP3 frames to and from the gateway's transceiver.
#pragma once

#include "le_ipcService.h"

#define LE_ENOCEAN_PROTOCOL_ID "5a176ca4fe0e5d2f2463d5cc2f76b745"
#define LE_ENOCEAN_LARGEST_MSG 131120
#define LE_ENOCEAN_DATA_MAX 65536
#define LE_ENOCEAN_OPTIONAL_MAX 256
#define LE_ENOCEAN_SENSOR_ID_MAX 10

// Message ids: the methods' positions.
enum
{
    LE_ENOCEAN_SEND_DATA = 0,           // in: packet type, data, optional data; result
    LE_ENOCEAN_DELETE_SENSOR = 1,       // in: sensor identifier
    LE_ENOCEAN_LEARN_MODE_ON = 2,
    LE_ENOCEAN_ADD_RECEIVE_HANDLER = 3, // in: client context; out: handler reference
    LE_ENOCEAN_REMOVE_RECEIVE_HANDLER = 4
};

// Fields of the receive event (message id 3), in order.
enum
{
    LE_ENOCEAN_EVENT_CONTEXT,
    LE_ENOCEAN_EVENT_PACKET_TYPE,
    LE_ENOCEAN_EVENT_DATA,
    LE_ENOCEAN_EVENT_UNIT_ID,
    LE_ENOCEAN_EVENT_EEP,
    LE_ENOCEAN_EVENT_JSON,
    LE_ENOCEAN_EVENT_SECURE,
    LE_ENOCEAN_EVENT_FIELDS
};

extern const le_ipc_Interface_t le_EnOcean_Interface;
