// The EnOcean gateway's settings resources.
#pragma once

#include "legato.h"

#define SETTINGS_DESCRIPTION_LEN 49

typedef struct
{
    uint8_t addOnType;   // first field: written by the add-on selection handler
    char description[SETTINGS_DESCRIPTION_LEN + 1];
    uint8_t enable;      // radio telegrams are learned and decoded only while set
    uint8_t secure;      // only secure telegrams are accepted while set
    io_StringPushHandlerRef_t descHandler;
    io_BooleanPushHandlerRef_t enableHandler;
    io_BooleanPushHandlerRef_t secureHandler;
    io_TriggerPushHandlerRef_t learnHandler;
    io_TriggerPushHandlerRef_t clearHandler;
    io_NumericPushHandlerRef_t addOnTypeHandler;
}
SettingsEO_t;

extern SettingsEO_t SettingsEO;
extern uint64_t TmeClear;

// Second pushes of a double-push trigger count within this many ms of the first.
#define DOUBLE_PUSH_MS 4999

void InitEO(void);
void DeleteMainResourcesEO(uint8_t keep);
void DeleteSettingsEventsEO(uint8_t keep);

void HandleSettingsDescPush(double timestamp, const char* value, void* contextPtr);
void HandleSettingsEnablePush(double timestamp, bool value, void* contextPtr);
void HandleSettingsSecurePush(double timestamp, bool value, void* contextPtr);
void HandleTriggerPush(double timestamp, void* contextPtr);
void HandleTriggerClearPush(double timestamp, void* contextPtr);
