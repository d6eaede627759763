// Client library of the le_EModbus service, for other applications on the module: start and stop
// the Modbus RTU master, set its speed, queue requests and receive every good answer. One session
// per process, used from the thread that connected (events arrive on that thread's loop).
#pragma once

#include "le_basics.h"

#include <cstddef>

// Called with one answer, its CRC included.
typedef void (*le_EModbus_ReceiveHandlerFunc_t)(const uint8_t* data, size_t size, void* contextPtr);
typedef struct le_EModbus_ReceiveHandler* le_EModbus_ReceiveHandlerRef_t;

// LE_UNAVAILABLE when the component does not serve le_EModbus, LE_NOT_PERMITTED when it refused
// the protocol.
le_result_t le_EModbus_TryConnectService(void);
// Waits (retrying every 100 ms) until the service can be reached.
void le_EModbus_ConnectService(void);
void le_EModbus_DisconnectService(void);
// Called (once) when the service closes the session, as when veltrona ends.
void le_EModbus_SetDisconnectHandler(void (*handler)(void* contextPtr), void* contextPtr);

// LE_CLOSED without a session.
le_result_t le_EModbus_Start(void);
le_result_t le_EModbus_Stop(void);
// LE_OK once queued; LE_FAULT while the link is not started or for an empty request;
// LE_BAD_PARAMETER above 256 bytes (refused before sending); LE_CLOSED without a session.
le_result_t le_EModbus_SendRequest(const uint8_t* data, size_t count);
// LE_OK, LE_DUPLICATE (the stored speed) or LE_BAD_PARAMETER; it takes effect at the next start.
le_result_t le_EModbus_SetBaudRate(uint32_t baudRate);
// NULL without a session or before the link was ever started.
le_EModbus_ReceiveHandlerRef_t le_EModbus_AddOnReceiveHandler(le_EModbus_ReceiveHandlerFunc_t handler,
                                                              void* contextPtr);
void le_EModbus_RemoveOnReceiveHandler(le_EModbus_ReceiveHandlerRef_t handlerRef);
