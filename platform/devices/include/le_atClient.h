// AT-command client on a modem port: a command is written with "\r" and the answer lines are read
// until a final response (those asked for, and always "ERROR", "+CME ERROR" and "+CMS ERROR") or
// the time-out. The echo of the command and empty lines are skipped.
#pragma once

#include "le_basics.h"

#define LE_ATCLIENT_CMD_MAX_LEN 512
#define LE_ATCLIENT_RESPONSE_MAX 520

typedef struct le_atClient_Device* le_atClient_DeviceRef_t;
typedef struct le_atClient_Cmd* le_atClient_CmdRef_t;

void le_atClient_ConnectService(void);
le_result_t le_atClient_TryConnectService(void);
void le_atClient_DisconnectService(void);

// The descriptor stays the caller's; NULL for a bad descriptor.
le_atClient_DeviceRef_t le_atClient_Start(int fd);
le_result_t le_atClient_Stop(le_atClient_DeviceRef_t device);

le_atClient_CmdRef_t le_atClient_Create(void);
le_result_t le_atClient_Delete(le_atClient_CmdRef_t cmd);
le_result_t le_atClient_SetCommand(le_atClient_CmdRef_t cmd, const char* command);
// Prefixes separated by "|"; "" takes every line that is not a final response.
le_result_t le_atClient_SetIntermediateResponse(le_atClient_CmdRef_t cmd, const char* prefixes);
le_result_t le_atClient_SetFinalResponse(le_atClient_CmdRef_t cmd, const char* prefixes);
le_result_t le_atClient_SetTimeout(le_atClient_CmdRef_t cmd, uint32_t timeoutMs);
// LE_BAD_PARAMETER for a device that was not started (or was stopped).
le_result_t le_atClient_SetDevice(le_atClient_CmdRef_t cmd, le_atClient_DeviceRef_t device);
// LE_TIMEOUT when no final response came; LE_FAULT when the port fails.
le_result_t le_atClient_Send(le_atClient_CmdRef_t cmd);
// LE_NOT_FOUND when there is no (further) intermediate response; LE_OVERFLOW if it was cut.
le_result_t le_atClient_GetFirstIntermediateResponse(le_atClient_CmdRef_t cmd, char* buf, size_t bufSize);
le_result_t le_atClient_GetNextIntermediateResponse(le_atClient_CmdRef_t cmd, char* buf, size_t bufSize);
le_result_t le_atClient_GetFinalResponse(le_atClient_CmdRef_t cmd, char* buf, size_t bufSize);
