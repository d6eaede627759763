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

//--------------------------------------------------------------------------------------------------
// Declarative interfaces: one description per service, from which requests, responses and events
// are packed and unpacked on both sides.
//
// Wire form (host order): a request is the u32 message id (the method's index) followed by its
// input parameters; the response is the same id, the le_result_t when the method has one, then
// its output parameters; an event is its u32 message id followed by its fields. Integers, bools
// (one byte, 0 or 1) and doubles take their size; strings and byte arrays are a u32 length and
// that many bytes, the length at most the parameter's limit.
//--------------------------------------------------------------------------------------------------
typedef enum
{
    LE_IPC_UINT8,
    LE_IPC_UINT16,
    LE_IPC_UINT32,
    LE_IPC_INT32,
    LE_IPC_UINT64,
    LE_IPC_BOOL,
    LE_IPC_DOUBLE,
    LE_IPC_STRING,
    LE_IPC_BYTES,
    LE_IPC_REF      // a reference or context handed across as 64 bits
}
le_ipc_Type_t;

typedef struct le_ipc_Param
{
    const char* name;
    le_ipc_Type_t type;
    bool isOutput;
    size_t maxSize;   // strings and byte arrays: the most bytes
    // Outputs only: 0, always present; else present only when the method's first parameter (an
    // input mask the client sends) has one of these bits set.
    uint32_t presentIf = 0;
}
le_ipc_Param_t;

typedef struct
{
    const char* name;
    const le_ipc_Param_t* params;
    size_t paramCount;
    bool hasResult;   // answers an le_result_t
}
le_ipc_Method_t;

typedef struct
{
    const char* name;
    uint32_t msgId;
    const le_ipc_Param_t* fields;
    size_t fieldCount;
}
le_ipc_Event_t;

typedef struct
{
    const char* serviceName;
    const char* protocolId;
    size_t largestMsgSize;
    const le_ipc_Method_t* methods;   // the message id is the index
    size_t methodCount;
    const le_ipc_Event_t* events;
    size_t eventCount;
}
le_ipc_Interface_t;

// One parameter's value: integers, bools and references in num (an INT32 as its two's
// complement), doubles in real, strings (no terminator) and byte arrays in data/size.
typedef struct
{
    uint64_t num;
    double real;
    const void* data;
    size_t size;
}
le_ipc_Value_t;

// Packs the inputs (or the outputs) of the list from values[] (indexed like params) and sets
// *usedPtr to the bytes written; false when a value exceeds its limit or the buffer is too small.
bool le_ipc_Pack(const le_ipc_Param_t* params, size_t count, bool outputs, const le_ipc_Value_t* values,
                 uint8_t* buf, size_t bufSize, size_t* usedPtr);
// Bytes the inputs (or the outputs) take packed; false when a value exceeds its limit.
bool le_ipc_PackedSize(const le_ipc_Param_t* params, size_t count, bool outputs, const le_ipc_Value_t* values,
                       size_t* sizePtr);
// Unpacks into values[] (data pointers point into buf); false when the bytes do not match the list
// exactly (short, too long, a length above its limit, a bool that is not 0 or 1).
bool le_ipc_Unpack(const le_ipc_Param_t* params, size_t count, bool outputs, const uint8_t* buf, size_t size,
                   le_ipc_Value_t* values);
// Copies a string value into a terminated buffer; LE_OVERFLOW when it was cut.
le_result_t le_ipc_CopyString(const le_ipc_Value_t* value, char* buf, size_t bufSize);

// Server side. The implementation reads its inputs from args[] and fills its outputs there (their
// data must stay valid until it returns); result is answered for methods that have one. An
// implementation that finds the request unacceptable sets closeSession: the request is not
// answered and the client's session is closed.
typedef struct
{
    le_msg_SessionRef_t session;
    le_ipc_Value_t* args;
    le_result_t result;
    bool closeSession;
}
le_ipc_ServerCall_t;
typedef void (*le_ipc_Implementation_t)(le_ipc_ServerCall_t* call);

// Creates the service, serves each method with implementations[id] and advertises it. An unknown
// message id is logged and not answered; a request that does not unpack closes that session.
le_msg_ServiceRef_t le_ipc_AdvertiseInterface(const le_ipc_Interface_t* iface,
                                             const le_ipc_Implementation_t* implementations);
// Sends event eventIndex of the interface to a client. LE_CLOSED for a closed session,
// LE_OVERFLOW when the fields do not fit.
le_result_t le_ipc_SendEvent(le_msg_SessionRef_t session, const le_ipc_Interface_t* iface, size_t eventIndex,
                             const le_ipc_Value_t* fields);

// Client side. Opens a session to the interface's service (LE_UNAVAILABLE, LE_NOT_PERMITTED as
// le_msg_TryOpenSessionSync); events go to the handler on the calling thread's loop.
le_result_t le_ipc_OpenSession(const le_ipc_Interface_t* iface, le_msg_ReceiveHandler_t eventHandler, void* context,
                               le_msg_SessionRef_t* sessionPtr);
// Calls a method and waits for the answer. args[] holds the inputs; the outputs are unpacked
// into it, pointing into *responsePtr, which the caller releases. LE_CLOSED when the session
// ended, LE_OVERFLOW when the inputs do not fit, LE_FAULT for an answer that does not unpack.
le_result_t le_ipc_Call(le_msg_SessionRef_t session, const le_ipc_Interface_t* iface, uint32_t methodId,
                        le_ipc_Value_t* args, le_result_t* resultPtr, le_msg_MessageRef_t* responsePtr);
// Unpacks an event message; false when it is not one of the interface's events.
bool le_ipc_UnpackEvent(const le_ipc_Interface_t* iface, le_msg_MessageRef_t msgRef, size_t* eventIndexPtr,
                        le_ipc_Value_t* fields);
