// Real-time clock service: user time in milliseconds (read from the platform clock).
#pragma once

#include "le_basics.h"

void le_rtc_ConnectService(void);
le_result_t le_rtc_TryConnectService(void);
void le_rtc_DisconnectService(void);
le_result_t le_rtc_GetUserTime(uint64_t* millisecondsPtr);
