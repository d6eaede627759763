// ESP3 link to the EnOcean transceiver, the telegram receiver and the sensor registry.
#pragma once

#include "legato.h"

#define SENSOR_COUNT 256
#define SENSOR_ID_LEN 9
#define SENSOR_EEP_LEN 6

// ESP3 frame limits: the payload area holds the data followed by the optional data.
#define ESP3_PAYLOAD_MAX 65536
#define ESP3_OPTIONAL_MAX 255
#define ESP3_QUEUE_SLOTS 512

// ESP3 packet types the gateway uses.
#define ESP3_RADIO_ERP1 0x01
#define ESP3_RESPONSE 0x02
#define ESP3_COMMON_COMMAND 0x05

// Learn window opened by a double push of settings/learn.
#define LEARN_WINDOW_MS 65000

typedef struct
{
    char id[SENSOR_ID_LEN + 1];   // "E" + 8 lower-case hex digits; empty marks a free record
    char eep[SENSOR_EEP_LEN + 1];
    uint8_t enable;
    uint8_t secure;
    uint64_t deleteTime;          // user time (ms) of the last delete request, 0 for none
    io_StringPushHandlerRef_t eepHandler;
    io_BooleanPushHandlerRef_t enableHandler;
    io_TriggerPushHandlerRef_t deleteHandler;
}
SensorRecord_t;

extern SensorRecord_t Sensor[SENSOR_COUNT];

extern const char* const RegistryFile;
extern const char* const HistoryFile;

// Learn mode, shared with the settings handlers.
extern uint8_t LearnMode;
extern uint64_t LearnModeTime;
extern uint64_t TmeLearnON;

// Receive handlers of other applications.
typedef void (*le_EnOcean_ReceiveHandlerFunc_t)(uint8_t packetType, const uint8_t* payload, size_t payloadSize,
                                                const char* unitId, const char* eep, const char* json, bool secure,
                                                void* contextPtr);
typedef struct EnOceanHandlerNode* le_EnOcean_ReceiveHandlerRef_t;

// The framework RTC's user time in ms (only differences are used).
uint64_t UserTimeMs(void);

// CRC-8 of ESP3 (polynomial 0x07): folds one byte into a running CRC.
uint8_t proc_crc8(uint8_t crc, uint8_t byte);

void StartEO(void);
int OpenUart(void);
void UartHandler(int fd, short events);
void TimerHandler(le_timer_Ref_t timer);
void ATSend(const char* command);

// Queues one frame; LE_BUSY when all 512 slots wait, LE_BAD_PARAMETER for a frame that does not
// fit a frame image (more than 65,535 data bytes, 255 optional bytes or 65,536 in all).
le_result_t le_EnOcean_SendData(uint8_t packetType, const uint8_t* data, size_t dataSize, const uint8_t* optData,
                                size_t optSize);
le_EnOcean_ReceiveHandlerRef_t le_EnOcean_AddOnReceiveHandler(le_EnOcean_ReceiveHandlerFunc_t handler,
                                                              void* contextPtr);
void le_EnOcean_RemoveOnReceiveHandler(le_EnOcean_ReceiveHandlerRef_t handlerRef);
// Frames waiting in the transmit queue.
size_t EnOceanQueuedFrames(void);

// Loads the registry file into the table (left unchanged when the file cannot be read).
void ReadSensors(void);
// Registers a new sensor (0 when it was already registered, 1 otherwise); NULL only rewrites the
// registry file from the table.
int WriteSensor(const char* id);
// Appends an identifier line to the history file unless it is there.
void AddHistory(const char* line);
// True for "E" followed by 8 lower-case hex digits.
bool IsSensorId(const char* text);
// Reads an identifier file line by line and calls visit with the line's number and its identifier
// in the form the receiver writes (capital E, lower-case hex), read from a line that may also
// carry upper-case hex digits, surrounding blanks or a CR before its line feed; id is NULL for a
// line that holds no identifier. Blank lines are passed over. visit returns false to stop.
// False when the file cannot be opened.
bool ForEachIdentifierLine(const char* path, bool (*visit)(unsigned lineNo, const char* id, void* ctx), void* ctx);
// Index of the record holding the identifier, or -1.
int FindSensor(const char* id);
