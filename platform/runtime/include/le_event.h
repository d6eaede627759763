// Event loop per thread: queued functions, timers and descriptor monitors.
#pragma once

#include "le_basics.h"
#include <poll.h>

typedef struct le_thread* le_thread_Ref_t;

typedef void (*le_event_DeferredFunc_t)(void* param1Ptr, void* param2Ptr);

// Queues a function to run on the calling thread's loop.
void le_event_QueueFunction(le_event_DeferredFunc_t func, void* param1Ptr, void* param2Ptr);
// Queues a function to another thread's loop; safe from any thread.
void le_event_QueueFunctionToThread(le_thread_Ref_t thread, le_event_DeferredFunc_t func,
                                    void* param1Ptr, void* param2Ptr);

// Runs the calling thread's loop until le_event_StopLoop. Returns the code given to it.
int le_event_RunLoop(void);
// Ends the loop of the given thread (NULL: the main thread); safe from any thread and from a
// signal handler. Functions queued to that loop before the request still run before RunLoop returns.
void le_event_StopLoop(le_thread_Ref_t thread, int exitCode);
bool le_event_IsStopped(void);

// Loop drivers for tests and for programs that embed the loop. They run on the calling thread's loop.
// One pass: runs queued functions, expired timers and ready descriptors, waiting at most
// waitMs (real milliseconds) for a descriptor when nothing else is ready. Returns true if work was done.
bool le_event_ServiceOnce(int waitMs);
// Runs passes without advancing time until nothing is ready.
void le_event_RunUntilIdle(void);
// Virtual clock: runs until idle, advancing time timer by timer up to now + ms.
void le_event_AdvanceMs(uint64_t ms);
// Runs passes until the predicate holds or realTimeoutMs real milliseconds passed, advancing
// the virtual clock to due timers when nothing else is ready. Returns the predicate's last value.
bool le_event_RunUntil(bool (*predicate)(void* context), void* context, int realTimeoutMs);

//--------------------------------------------------------------------------------------------------
// Timers
//--------------------------------------------------------------------------------------------------
typedef struct le_timer* le_timer_Ref_t;
typedef void (*le_timer_ExpiryHandler_t)(le_timer_Ref_t timerRef);

le_timer_Ref_t le_timer_Create(const char* name);
void le_timer_Delete(le_timer_Ref_t timerRef);
le_result_t le_timer_SetHandler(le_timer_Ref_t timerRef, le_timer_ExpiryHandler_t handler);
le_result_t le_timer_SetMsInterval(le_timer_Ref_t timerRef, uint32_t interval);
uint32_t le_timer_GetMsInterval(le_timer_Ref_t timerRef);
// 0 repeats without end; 1 fires once (the default); N fires N times.
le_result_t le_timer_SetRepeat(le_timer_Ref_t timerRef, uint32_t repeatCount);
le_result_t le_timer_SetContextPtr(le_timer_Ref_t timerRef, void* contextPtr);
void* le_timer_GetContextPtr(le_timer_Ref_t timerRef);
// LE_BUSY when already running.
le_result_t le_timer_Start(le_timer_Ref_t timerRef);
// LE_FAULT when not running.
le_result_t le_timer_Stop(le_timer_Ref_t timerRef);
le_result_t le_timer_Restart(le_timer_Ref_t timerRef);
bool le_timer_IsRunning(le_timer_Ref_t timerRef);
uint32_t le_timer_GetExpiryCount(le_timer_Ref_t timerRef);
const char* le_timer_GetName(le_timer_Ref_t timerRef);

//--------------------------------------------------------------------------------------------------
// Descriptor monitors
//--------------------------------------------------------------------------------------------------
typedef struct le_fdMonitor* le_fdMonitor_Ref_t;
// events: the ready events (POLLIN, POLLOUT, and POLLHUP/POLLERR which are always reported).
typedef void (*le_fdMonitor_HandlerFunc_t)(int fd, short events);

le_fdMonitor_Ref_t le_fdMonitor_Create(const char* name, int fd, le_fdMonitor_HandlerFunc_t handler,
                                       short events);
void le_fdMonitor_Enable(le_fdMonitor_Ref_t monitorRef, short events);
void le_fdMonitor_Disable(le_fdMonitor_Ref_t monitorRef, short events);
// A deferrable monitor does not keep the system awake on its own (no effect on a host).
void le_fdMonitor_SetDeferrable(le_fdMonitor_Ref_t monitorRef, bool isDeferrable);
bool le_fdMonitor_IsDeferrable(le_fdMonitor_Ref_t monitorRef);
void le_fdMonitor_SetContextPtr(le_fdMonitor_Ref_t monitorRef, void* contextPtr);
// Context of the monitor whose handler is running now.
void* le_fdMonitor_GetContextPtr(void);
le_fdMonitor_Ref_t le_fdMonitor_GetMonitor(void);
short le_fdMonitor_GetEvents(le_fdMonitor_Ref_t monitorRef);
int le_fdMonitor_GetFd(le_fdMonitor_Ref_t monitorRef);
// Does not close the descriptor.
void le_fdMonitor_Delete(le_fdMonitor_Ref_t monitorRef);
