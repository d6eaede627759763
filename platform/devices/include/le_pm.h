// Power management: wake-up sources that keep the system from suspending (nothing to hold on a host;
// the state is kept so that it can be inspected).
#pragma once

#include "le_basics.h"

typedef struct le_pm_WakeupSource* le_pm_WakeupSourceRef_t;

void le_pm_ConnectService(void);
le_result_t le_pm_TryConnectService(void);
void le_pm_DisconnectService(void);
le_pm_WakeupSourceRef_t le_pm_NewWakeupSource(uint32_t createOpts, const char* wsTag);
le_result_t le_pm_StayAwake(le_pm_WakeupSourceRef_t wsRef);
le_result_t le_pm_Relax(le_pm_WakeupSourceRef_t wsRef);

// Wake-up sources now held.
size_t pa_pm_GetAwakeCount(void);
