// The 8-input/8-output Modbus board (add-on type 5): eight analogue inputs, eight digital inputs
// and eight digital outputs of a Modbus RTU slave, polled through the Modbus link and mirrored
// under "addon/".
#pragma once

#include "Modbus.h"
#include "legato.h"

#define BOARD8I8O_PATH_SIZE 50
#define BOARD8I8O_POLL_MS 60000
// A function-3 poll answer: address, function, byte count, ten registers (47 to 56), CRC.
#define BOARD8I8O_ANSWER_SIZE 25

typedef struct
{
    uint8_t address;   // the board's Modbus address; 0 until set, and nothing is sent while it is 0
    le_EModbus_ReceiveHandlerRef_t receiveHandlerRef;
    io_NumericPushHandlerRef_t addressHandlerRef;    // "addon/modbus_address"
    io_NumericPushHandlerRef_t intervalHandlerRef;   // "addon/modbus_interval"
    io_NumericPushHandlerRef_t baudRateHandlerRef;   // "addon/modbus_baudrate"
}
BoardSettings8i8o_t;

typedef struct
{
    char analogPath[BOARD8I8O_PATH_SIZE];    // "addon/analog_inputN"
    char digitalPath[BOARD8I8O_PATH_SIZE];   // "addon/digital_inputN"
    int32_t interface;                        // 1: offset scaling; any other: plain scaling
    uint8_t channel;                          // 1 to 8
    io_NumericPushHandlerRef_t interfaceHandlerRef;
    io_BooleanPushHandlerRef_t outputHandlerRef;
    io_NumericPushHandlerRef_t thresholdHtoLHandlerRef;
    io_NumericPushHandlerRef_t thresholdLtoHHandlerRef;
}
Input8i8o_t;

extern BoardSettings8i8o_t BoardSettings8i8o;
extern Input8i8o_t Input8i8o_1, Input8i8o_2, Input8i8o_3, Input8i8o_4, Input8i8o_5, Input8i8o_6, Input8i8o_7,
    Input8i8o_8;
extern le_timer_Ref_t TimerRef;

void InitBoard8i8o(void);
void DeleteMainResourcesBoard8i8o(void);
void DeleteEventsBoard8i8o(void);

void HandleInterval8i8oPush(double timestamp, double value, void* contextPtr);
void HandleSettingsAddress8i8oPush(double timestamp, double value, void* contextPtr);
void HandleBoundrate8i8oPush(double timestamp, double value, void* contextPtr);
void HandleInterface8i8oPush(double timestamp, double value, void* contextPtr);
void HandleOutput8i8oPush(double timestamp, bool value, void* contextPtr);
void HandleThresholdHtoL8i8oPush(double timestamp, double value, void* contextPtr);
void HandleThresholdLtoH8i8oPush(double timestamp, double value, void* contextPtr);
void DataReceive(const uint8_t* answer, size_t size, void* contextPtr);
void Timer(le_timer_Ref_t timerRef);
