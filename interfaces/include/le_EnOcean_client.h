// Client library of the le_EnOcean service, for other applications on the module: send raw ESP3
// frames to the gateway's transceiver and receive every frame it delivers. One session per
// process, used from the thread that connected (events arrive on that thread's loop).
#pragma once

#include "le_basics.h"

#include <cstddef>

typedef void (*le_EnOcean_ReceiveHandlerFunc_t)(uint8_t packetType, const uint8_t* data, size_t dataSize,
                                                const char* unitId, const char* eep, const char* json, bool secure,
                                                void* contextPtr);
typedef struct le_EnOcean_ReceiveHandler* le_EnOcean_ReceiveHandlerRef_t;

// LE_UNAVAILABLE when the gateway does not serve le_EnOcean, LE_NOT_PERMITTED when it refused
// the protocol.
le_result_t le_EnOcean_TryConnectService(void);
// Waits (retrying every 100 ms) until the service can be reached.
void le_EnOcean_ConnectService(void);
void le_EnOcean_DisconnectService(void);
// Called (once) when the service closes the session, as when veltrona ends.
void le_EnOcean_SetDisconnectHandler(void (*handler)(void* contextPtr), void* contextPtr);

// LE_OK once queued, LE_BUSY when 512 frames wait, LE_BAD_PARAMETER for a frame that does not fit
// (more than 255 optional bytes or 65,536 in all), LE_CLOSED without a session.
le_result_t le_EnOcean_SendData(uint8_t packetType, const uint8_t* data, size_t dataSize, const uint8_t* optData,
                                size_t optSize);
void le_EnOcean_DeleteSensor(const char* sensorId);
void le_EnOcean_LearnModeON(void);
// NULL without a session.
le_EnOcean_ReceiveHandlerRef_t le_EnOcean_AddOnReceiveHandler(le_EnOcean_ReceiveHandlerFunc_t handler,
                                                              void* contextPtr);
void le_EnOcean_RemoveOnReceiveHandler(le_EnOcean_ReceiveHandlerRef_t handlerRef);
