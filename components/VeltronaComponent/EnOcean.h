// ESP3 link, telegram receiver and the sensor registry.
#pragma once

#include "legato.h"

#define SENSOR_COUNT 256
#define SENSOR_ID_LEN 9

typedef struct
{
    char id[SENSOR_ID_LEN + 1];   // "E" + 8 lower-case hex digits; empty marks a free record
    char eep[7];
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

// Loads the registry file into the table (left unchanged when the file cannot be read).
void ReadSensors(void);
// True for "E" followed by 8 lower-case hex digits.
bool IsSensorId(const char* text);

void StartEO(void);
