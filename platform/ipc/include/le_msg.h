// Message-based IPC over Unix-domain stream sockets.
//
// A service is named and lives as a socket in the service directory. On connect, the client
// sends the protocol identifier and its largest message size; the server refuses a mismatch.
// Each message is a payload of at most the protocol's largest message size; the server answers
// a request with le_msg_Respond and may send messages of its own (events) to a session.
#pragma once

#include "le_basics.h"

#define LE_MSG_PROTOCOL_ID_MAX 128
#define LE_MSG_SERVICE_NAME_MAX 64
// Sessions one service serves at once; further clients are refused (LE_BUSY to the client).
#define LE_MSG_MAX_SESSIONS 64

typedef struct le_msg_Protocol* le_msg_ProtocolRef_t;
typedef struct le_msg_Service* le_msg_ServiceRef_t;
typedef struct le_msg_Session* le_msg_SessionRef_t;
typedef struct le_msg_Message* le_msg_MessageRef_t;

typedef void (*le_msg_ReceiveHandler_t)(le_msg_MessageRef_t msgRef, void* contextPtr);
typedef void (*le_msg_SessionEventHandler_t)(le_msg_SessionRef_t sessionRef, void* contextPtr);

// Directory of the service sockets; created with private permissions if absent.
le_result_t le_msg_SetServiceDirectory(const char* dir);
const char* le_msg_GetServiceDirectory(void);

// Protocols are kept for the life of the process; the same identifier gives the same protocol.
le_msg_ProtocolRef_t le_msg_GetProtocolRef(const char* protocolId, size_t largestMsgSize);
const char* le_msg_GetProtocolIdStr(le_msg_ProtocolRef_t protocolRef);
size_t le_msg_GetProtocolMaxMsgSize(le_msg_ProtocolRef_t protocolRef);

// Server side. Served on the loop of the thread that advertises.
le_msg_ServiceRef_t le_msg_CreateService(le_msg_ProtocolRef_t protocolRef, const char* serviceName);
void le_msg_SetServiceRecvHandler(le_msg_ServiceRef_t serviceRef, le_msg_ReceiveHandler_t handler,
                                  void* contextPtr);
void le_msg_AddServiceOpenHandler(le_msg_ServiceRef_t serviceRef, le_msg_SessionEventHandler_t handler,
                                  void* contextPtr);
void le_msg_AddServiceCloseHandler(le_msg_ServiceRef_t serviceRef, le_msg_SessionEventHandler_t handler,
                                   void* contextPtr);
// LE_FAULT when the socket cannot be created.
le_result_t le_msg_AdvertiseService(le_msg_ServiceRef_t serviceRef);
void le_msg_HideService(le_msg_ServiceRef_t serviceRef);
le_msg_ServiceRef_t le_msg_GetSessionService(le_msg_SessionRef_t sessionRef);
size_t le_msg_GetSessionCount(le_msg_ServiceRef_t serviceRef);

// Client side.
le_msg_SessionRef_t le_msg_CreateSession(le_msg_ProtocolRef_t protocolRef, const char* serviceName);
// LE_UNAVAILABLE when nobody serves; LE_NOT_PERMITTED when the server refused the protocol;
// LE_BUSY when the service serves as many sessions as it takes; LE_TIMEOUT when the server did not
// answer the handshake in time (its loop is busy, as during a program's start-up).
le_result_t le_msg_TryOpenSessionSync(le_msg_SessionRef_t sessionRef);
// How long TryOpenSessionSync waits for the handshake's answer (1 ms to 5 s, the default).
void le_msg_SetHandshakeWait(int ms);
// Messages the server sends on its own (not answers) go to this handler, on the client's loop.
void le_msg_SetSessionRecvHandler(le_msg_SessionRef_t sessionRef, le_msg_ReceiveHandler_t handler,
                                  void* contextPtr);
void le_msg_SetSessionCloseHandler(le_msg_SessionRef_t sessionRef, le_msg_SessionEventHandler_t handler,
                                   void* contextPtr);
// Server: ends the client's session (the close handlers run). Client: closes and frees the session.
void le_msg_CloseSession(le_msg_SessionRef_t sessionRef);
void le_msg_DeleteSession(le_msg_SessionRef_t sessionRef);
bool le_msg_IsSessionOpen(le_msg_SessionRef_t sessionRef);

// Messages. A message's payload buffer is as large as it was made (a received message: what
// came); it never exceeds the protocol's largest message.
// A message with a buffer of the protocol's largest size.
le_msg_MessageRef_t le_msg_CreateMsg(le_msg_SessionRef_t sessionRef);
// A message with a buffer of size bytes; NULL when that exceeds the largest message.
le_msg_MessageRef_t le_msg_CreateSizedMsg(le_msg_SessionRef_t sessionRef, size_t size);
// Grows the buffer to at least size bytes (keeping its content; the pointer may change); false
// when that exceeds the largest message.
bool le_msg_ReservePayload(le_msg_MessageRef_t msgRef, size_t size);
void le_msg_ReleaseMsg(le_msg_MessageRef_t msgRef);
void* le_msg_GetPayloadPtr(le_msg_MessageRef_t msgRef);
// Room of the payload buffer.
size_t le_msg_GetMaxPayloadSize(le_msg_MessageRef_t msgRef);
// Bytes of the payload that are used (received length, or what the sender set).
size_t le_msg_GetPayloadSize(le_msg_MessageRef_t msgRef);
void le_msg_SetPayloadSize(le_msg_MessageRef_t msgRef, size_t size);
le_msg_SessionRef_t le_msg_GetSession(le_msg_MessageRef_t msgRef);
bool le_msg_NeedsResponse(le_msg_MessageRef_t msgRef);
// Sends without waiting (events from the server, or one-way from the client); releases the message.
void le_msg_Send(le_msg_MessageRef_t msgRef);
// Server: sends the message back as the answer to the request it came in as; releases it.
void le_msg_Respond(le_msg_MessageRef_t msgRef);
// Client: sends and waits for the answer; releases the request. NULL when the session closed, or
// when no answer came within the call time-out (the session is then closed, since a late answer
// would be taken for the next call's).
le_msg_MessageRef_t le_msg_RequestSyncResponse(le_msg_MessageRef_t msgRef);
// How long this process's synchronous calls wait for their answer, in ms (< 0: for ever, the
// default); and whether the last call on this thread ran out of it.
void le_msg_SetCallTimeout(int ms);
bool le_msg_LastCallTimedOut(void);
