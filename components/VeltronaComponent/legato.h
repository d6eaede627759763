// What every module of the component includes: the platform's calls, logging to the component's session.
#pragma once

#include "le_basics.h"
#include "le_log.h"

extern le_log_SessionRef_t VeltronaComponent_LogSession;
extern le_log_Level_t* VeltronaComponent_LogLevelFilterPtr;

#undef LE_LOG_SESSION
#define LE_LOG_SESSION VeltronaComponent_LogSession

#include "io.h"
#include "le_appCtrl.h"
#include "le_atClient.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_gpio.h"
#include "le_mem.h"
#include "le_msg.h"
#include "le_pm.h"
#include "le_rtc.h"
#include "le_thread.h"
#include "le_tty.h"
#include "le_utf8.h"
#include "pa_i2c.h"
#include "pa_path.h"
#include "pa_system.h"

// Removes a Data Hub push handler when one is registered and forgets its reference.
template <typename HandlerRef>
inline void RemovePushHandler(HandlerRef& ref, void (*remove)(HandlerRef))
{
    if (ref == nullptr) return;
    remove(ref);
    ref = nullptr;
}
