// Application control. Stopping this application's own name ends the main thread's event loop;
// other names are only recorded (nothing outside this process is ever stopped).
#pragma once

#include "le_basics.h"

void le_appCtrl_ConnectService(void);
le_result_t le_appCtrl_TryConnectService(void);
void le_appCtrl_DisconnectService(void);
le_result_t le_appCtrl_Stop(const char* appName);

void pa_appCtrl_SetOwnName(const char* appName);
unsigned pa_appCtrl_GetStopCount(void);
// Platform clock (ms) at the last stop request; 0 when none.
uint64_t pa_appCtrl_GetLastStopTime(void);
const char* pa_appCtrl_GetLastStopped(void);
