// Modbus RTU master on the second serial port: a queue of requests with one on the line at a
// time, the CRC appended on sending, answers assembled and checked and handed to every receive
// handler, and an anti-lock timer that drops a request whose answer never comes.
#pragma once

#include "legato.h"

#define MODBUS_REQUEST_MIN 4
#define MODBUS_REQUEST_MAX 256
#define MODBUS_ANSWER_MAX 255
#define MODBUS_ANTI_LOCK_MS 1500

// Called with the answer (CRC included); the bytes are valid only during the call.
typedef void (*le_EModbus_ReceiveHandlerFunc_t)(const uint8_t* answer, size_t size, void* contextPtr);
typedef struct ModbusReceiveHandler* le_EModbus_ReceiveHandlerRef_t;

// Opens "/dev/ttyHS1" at the stored speed and starts the anti-lock timer; nothing when open.
void le_EModbus_Start(void);
// Drops every waiting request and closes the port; receive handlers stay registered.
void le_EModbus_Stop(void);
// Stores the speed for the next start: LE_DUPLICATE when it is the stored one,
// LE_BAD_PARAMETER for a rate other than 2400 to 460800 baud.
le_result_t le_EModbus_SetBaudRate(uint32_t baudRate);
// Queues a request of 4 to 256 bytes; its last two are replaced by the CRC of the others when it is
// sent. LE_FAULT while the link is not open or for a request that does not fit.
le_result_t le_EModbus_SendRequest(const uint8_t* data, size_t count);
// NULL before the first start.
le_EModbus_ReceiveHandlerRef_t le_EModbus_AddOnReceiveHandler(le_EModbus_ReceiveHandlerFunc_t handler,
                                                              void* contextPtr);
// An unknown reference changes nothing.
void le_EModbus_RemoveOnReceiveHandler(le_EModbus_ReceiveHandlerRef_t handlerRef);

// CRC-16/MODBUS of the bytes; it goes on the wire low byte first.
uint16_t CRC(const uint8_t* data, size_t count);

// While an answer is delivered to the receive handlers: the request it came for (the one on the
// line, written in full), CRC included, and its length; NULL for an answer with no request on the
// line, and outside a delivery.
const uint8_t* ModbusAnsweredRequest(size_t* length);
// Requests waiting, the one on the line included.
size_t ModbusQueuedRequests(void);
// Speed code of the open port (LE_TTY_SPEED_0 while closed).
le_tty_Speed_t ModbusPortSpeed(void);
