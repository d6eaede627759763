// Client services of the framework that have no hardware behind them on a host.
#include "le_appCtrl.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "le_pm.h"
#include "le_rtc.h"
#include "le_thread.h"
#include "pa_service.h"
#include "pa_system.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace
{
std::mutex ServiceMutex;
std::map<std::string, unsigned> CommandsRun;
std::string OwnAppName = "Veltrona";
std::string LastStopped;
unsigned StopCount = 0;
uint64_t LastStopTime = 0;
std::atomic<size_t> AwakeCount{0};
}

//--------------------------------------------------------------------------------------------------
// RTC
//--------------------------------------------------------------------------------------------------
void le_rtc_ConnectService(void)
{
}

le_result_t le_rtc_TryConnectService(void)
{
    return pa_service_IsAvailable("le_rtc") ? LE_OK : LE_UNAVAILABLE;
}

void le_rtc_DisconnectService(void)
{
}

le_result_t le_rtc_GetUserTime(uint64_t* millisecondsPtr)
{
    if (millisecondsPtr == nullptr) return LE_BAD_PARAMETER;
    *millisecondsPtr = le_clk_EpochMs();
    return LE_OK;
}

//--------------------------------------------------------------------------------------------------
// Power management
//--------------------------------------------------------------------------------------------------
struct le_pm_WakeupSource
{
    char tag[32];
    bool held;
};

void le_pm_ConnectService(void)
{
}

le_result_t le_pm_TryConnectService(void)
{
    return pa_service_IsAvailable("le_pm") ? LE_OK : LE_UNAVAILABLE;
}

void le_pm_DisconnectService(void)
{
}

le_pm_WakeupSourceRef_t le_pm_NewWakeupSource(uint32_t createOpts, const char* wsTag)
{
    LE_UNUSED(createOpts);
    auto* ws = new le_pm_WakeupSource();
    snprintf(ws->tag, sizeof(ws->tag), "%s", wsTag ? wsTag : "");
    return ws;
}

le_result_t le_pm_StayAwake(le_pm_WakeupSourceRef_t wsRef)
{
    if (wsRef == nullptr) return LE_BAD_PARAMETER;
    if (!wsRef->held)
    {
        wsRef->held = true;
        AwakeCount++;
    }
    return LE_OK;
}

le_result_t le_pm_Relax(le_pm_WakeupSourceRef_t wsRef)
{
    if (wsRef == nullptr) return LE_BAD_PARAMETER;
    if (wsRef->held)
    {
        wsRef->held = false;
        AwakeCount--;
    }
    return LE_OK;
}

size_t pa_pm_GetAwakeCount(void)
{
    return AwakeCount.load();
}

//--------------------------------------------------------------------------------------------------
// Application control
//--------------------------------------------------------------------------------------------------
void le_appCtrl_ConnectService(void)
{
}

le_result_t le_appCtrl_TryConnectService(void)
{
    return pa_service_IsAvailable("le_appCtrl") ? LE_OK : LE_UNAVAILABLE;
}

void le_appCtrl_DisconnectService(void)
{
}

le_result_t le_appCtrl_Stop(const char* appName)
{
    if (appName == nullptr) return LE_BAD_PARAMETER;
    bool own;
    {
        std::lock_guard<std::mutex> lock(ServiceMutex);
        StopCount++;
        LastStopped = appName;
        LastStopTime = le_clk_NowMs();
        own = (OwnAppName == appName);
    }
    if (!own)
    {
        LE_WARN("Stop of application '%s' requested; only this application can be stopped here", appName);
        return LE_NOT_FOUND;
    }
    LE_INFO("Application '%s' is stopping", appName);
    le_event_StopLoop(le_thread_GetMain(), 0);
    return LE_OK;
}

void pa_appCtrl_SetOwnName(const char* appName)
{
    std::lock_guard<std::mutex> lock(ServiceMutex);
    OwnAppName = appName ? appName : "";
}

unsigned pa_appCtrl_GetStopCount(void)
{
    std::lock_guard<std::mutex> lock(ServiceMutex);
    return StopCount;
}

uint64_t pa_appCtrl_GetLastStopTime(void)
{
    std::lock_guard<std::mutex> lock(ServiceMutex);
    return LastStopTime;
}

const char* pa_appCtrl_GetLastStopped(void)
{
    static std::string copy;
    std::lock_guard<std::mutex> lock(ServiceMutex);
    copy = LastStopped;
    return copy.c_str();
}

//--------------------------------------------------------------------------------------------------
// System commands
//--------------------------------------------------------------------------------------------------
int pa_system_Run(const char* command)
{
    if (command == nullptr) return -1;
    {
        std::lock_guard<std::mutex> lock(ServiceMutex);
        CommandsRun[command]++;
    }
#ifdef VELTRONA_MODULE_BUILD
    LE_WARN("Running '%s'", command);
    return system(command);
#else
    LE_WARN("Simulated system command (not run on this machine): '%s'", command);
    return 0;
#endif
}

unsigned pa_system_GetRunCount(const char* command)
{
    std::lock_guard<std::mutex> lock(ServiceMutex);
    auto it = CommandsRun.find(command ? command : "");
    return it == CommandsRun.end() ? 0 : it->second;
}
