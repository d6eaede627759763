// Data Hub client: resources under the application's namespace.
//
// Limits are checked: a path over IO_MAX_RESOURCE_PATH_LEN characters, units over IO_MAX_UNITS_NAME_LEN,
// a text over IO_MAX_STRING_VALUE_LEN, or a path with an empty, ".", ".." segment or "[", "]"
// is refused with a log line.
#pragma once

#include "le_basics.h"

#define IO_MAX_RESOURCE_PATH_LEN 79
#define IO_MAX_UNITS_NAME_LEN 23
#define IO_MAX_STRING_VALUE_LEN 50000
#define IO_NOW 0.0

typedef enum
{
    IO_DATA_TYPE_TRIGGER = 0,
    IO_DATA_TYPE_BOOLEAN = 1,
    IO_DATA_TYPE_NUMERIC = 2,
    IO_DATA_TYPE_STRING = 3,
    IO_DATA_TYPE_JSON = 4
}
io_DataType_t;

typedef struct io_TriggerPushHandler* io_TriggerPushHandlerRef_t;
typedef struct io_BooleanPushHandler* io_BooleanPushHandlerRef_t;
typedef struct io_NumericPushHandler* io_NumericPushHandlerRef_t;
typedef struct io_StringPushHandler* io_StringPushHandlerRef_t;
typedef struct io_JsonPushHandler* io_JsonPushHandlerRef_t;

typedef void (*io_TriggerPushHandlerFunc_t)(double timestamp, void* contextPtr);
typedef void (*io_BooleanPushHandlerFunc_t)(double timestamp, bool value, void* contextPtr);
typedef void (*io_NumericPushHandlerFunc_t)(double timestamp, double value, void* contextPtr);
typedef void (*io_StringPushHandlerFunc_t)(double timestamp, const char* value, void* contextPtr);
typedef void (*io_JsonPushHandlerFunc_t)(double timestamp, const char* value, void* contextPtr);

void io_ConnectService(void);
le_result_t io_TryConnectService(void);
void io_DisconnectService(void);

// LE_OK (also when the same resource exists already), LE_DUPLICATE when another kind, type or
// units exist at the path, LE_BAD_PARAMETER for a path or units the hub refuses.
le_result_t io_CreateInput(const char* path, io_DataType_t dataType, const char* units);
le_result_t io_CreateOutput(const char* path, io_DataType_t dataType, const char* units);
void io_DeleteResource(const char* path);
void io_MarkOptional(const char* path);

void io_SetBooleanDefault(const char* path, bool value);
void io_SetNumericDefault(const char* path, double value);
void io_SetStringDefault(const char* path, const char* value);
void io_SetJsonDefault(const char* path, const char* value);

void io_PushTrigger(const char* path, double timestamp);
void io_PushBoolean(const char* path, double timestamp, bool value);
void io_PushNumeric(const char* path, double timestamp, double value);
void io_PushString(const char* path, double timestamp, const char* value);
void io_PushJson(const char* path, double timestamp, const char* value);

// Handlers run on the registering thread's loop. Registering on a resource that has a value
// (its default counts) delivers that value through the loop. NULL when the path is refused.
io_TriggerPushHandlerRef_t io_AddTriggerPushHandler(const char* path, io_TriggerPushHandlerFunc_t handler,
                                                    void* contextPtr);
io_BooleanPushHandlerRef_t io_AddBooleanPushHandler(const char* path, io_BooleanPushHandlerFunc_t handler,
                                                    void* contextPtr);
io_NumericPushHandlerRef_t io_AddNumericPushHandler(const char* path, io_NumericPushHandlerFunc_t handler,
                                                    void* contextPtr);
io_StringPushHandlerRef_t io_AddStringPushHandler(const char* path, io_StringPushHandlerFunc_t handler,
                                                  void* contextPtr);
io_JsonPushHandlerRef_t io_AddJsonPushHandler(const char* path, io_JsonPushHandlerFunc_t handler,
                                              void* contextPtr);
void io_RemoveTriggerPushHandler(io_TriggerPushHandlerRef_t ref);
void io_RemoveBooleanPushHandler(io_BooleanPushHandlerRef_t ref);
void io_RemoveNumericPushHandler(io_NumericPushHandlerRef_t ref);
void io_RemoveStringPushHandler(io_StringPushHandlerRef_t ref);
void io_RemoveJsonPushHandler(io_JsonPushHandlerRef_t ref);

// Current values. LE_UNAVAILABLE when the resource has no value, LE_FORMAT_ERROR on a type mismatch.
le_result_t io_GetBoolean(const char* path, double* timestampPtr, bool* valuePtr);
le_result_t io_GetNumeric(const char* path, double* timestampPtr, double* valuePtr);
le_result_t io_GetString(const char* path, double* timestampPtr, char* value, size_t valueSize);
