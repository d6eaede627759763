// Serving a service from an operation table: message id first in every payload (u32, host order).
#pragma once

#include "le_msg.h"

// Returns true once it has responded to or released the message; false, leaving the message
// alone, when the request could not be unpacked: the message is released and the session closed.
typedef bool (*le_ipc_OperationFunc_t)(le_msg_MessageRef_t msgRef);

typedef struct
{
    const char* name;
    le_ipc_OperationFunc_t handler;
}
le_ipc_Operation_t;

typedef struct
{
    const char* serviceName;
    const char* protocolId;
    size_t largestMsgSize;
    const le_ipc_Operation_t* operations;   // indexed by message id
    size_t operationCount;
}
le_ipc_ServiceDef_t;

// Creates the service with a dispatcher over the table and advertises it.
le_msg_ServiceRef_t le_ipc_AdvertiseService(const le_ipc_ServiceDef_t* def);
// Message id of a payload; false when the payload is too short to hold one.
bool le_ipc_GetMsgId(le_msg_MessageRef_t msgRef, uint32_t* idPtr);
