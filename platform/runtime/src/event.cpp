#include "loop_internal.h"
#include "clock_internal.h"
#include "le_clock.h"
#include "le_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

struct le_timer
{
    uint64_t id;
    char name[48];
    le_timer_ExpiryHandler_t handler = nullptr;
    uint32_t interval = 0;
    uint32_t repeat = 1;
    uint32_t firedInRun = 0;
    uint32_t expiryCount = 0;
    void* context = nullptr;
    bool running = false;
    uint64_t expiry = 0;
    pa_loop::Loop* loop = nullptr;
};

struct le_fdMonitor
{
    uint64_t id;
    char name[48];
    int fd;
    le_fdMonitor_HandlerFunc_t handler;
    short events;
    bool deferrable = false;
    void* context = nullptr;
    pa_loop::Loop* loop;
    uint64_t hangupQuietUntil = 0;   // real ms: a hung-up descriptor is polled again only after this
};

namespace
{
// Timers may be started from any thread; their table is guarded here.
std::recursive_mutex TimerMutex;
std::map<uint64_t, le_timer*> Timers;
std::atomic<uint64_t> NextId{1};

thread_local le_fdMonitor* CurrentMonitor = nullptr;

const uint64_t HangupBackoffMs = 20;

uint64_t RealMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool NextTimerExpiry(pa_loop::Loop* loop, uint64_t* expiryPtr)
{
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    bool found = false;
    for (const auto& entry : Timers)
    {
        le_timer* t = entry.second;
        if (t->running && t->loop == loop && (!found || t->expiry < *expiryPtr))
        {
            *expiryPtr = t->expiry;
            found = true;
        }
    }
    return found;
}

// On the virtual clock an idle loop moves time to its next timer or to the next wake-up of a
// thread asleep on the virtual clock, whichever comes first.
bool NextVirtualWake(pa_loop::Loop* loop, uint64_t* wakePtr)
{
    uint64_t timer = 0, sleeper = 0;
    bool hasTimer = NextTimerExpiry(loop, &timer);
    bool hasSleeper = pa_clk_NextSleeperMs(&sleeper);
    if (!hasTimer && !hasSleeper) return false;
    *wakePtr = !hasTimer ? sleeper : (!hasSleeper ? timer : std::min(timer, sleeper));
    return true;
}

bool RunDueTimers(pa_loop::Loop* loop)
{
    uint64_t now = le_clk_NowMs();
    std::vector<std::pair<uint64_t, uint64_t>> due;   // expiry, id
    {
        std::lock_guard<std::recursive_mutex> lock(TimerMutex);
        for (const auto& entry : Timers)
        {
            le_timer* t = entry.second;
            if (t->running && t->loop == loop && t->expiry <= now)
            {
                due.emplace_back(t->expiry, t->id);
            }
        }
    }
    std::sort(due.begin(), due.end());
    for (const auto& d : due)
    {
        le_timer_ExpiryHandler_t handler;
        le_timer* timer;
        {
            std::lock_guard<std::recursive_mutex> lock(TimerMutex);
            auto it = Timers.find(d.second);
            if (it == Timers.end()) continue;
            timer = it->second;
            if (!timer->running || timer->expiry > now) continue;
            timer->expiryCount++;
            timer->firedInRun++;
            if (timer->repeat == 0 || timer->firedInRun < timer->repeat)
            {
                timer->expiry += timer->interval;
                if (le_clk_GetMode() != LE_CLK_VIRTUAL && timer->expiry <= now)
                {
                    timer->expiry = now + timer->interval;   // fell behind: do not fire in a burst
                }
            }
            else
            {
                timer->running = false;
            }
            handler = timer->handler;
        }
        // The handler may stop, restart or delete its timer: nothing touches it afterwards.
        if (handler) handler(timer);
    }
    return !due.empty();
}

bool HasQueued(pa_loop::Loop* loop)
{
    std::lock_guard<std::mutex> lock(loop->queueMutex);
    return !loop->queue.empty();
}

bool RunQueued(pa_loop::Loop* loop)
{
    std::deque<pa_loop::QueuedCall> batch;
    {
        std::lock_guard<std::mutex> lock(loop->queueMutex);
        batch.swap(loop->queue);
    }
    for (const auto& call : batch)
    {
        call.func(call.param1, call.param2);
    }
    return !batch.empty();
}

void DrainWake(pa_loop::Loop* loop)
{
    uint64_t value;
    while (read(loop->wakeFd, &value, sizeof(value)) > 0)
    {
    }
}

// Polls and dispatches descriptors; returns true when a handler ran.
bool PollDescriptors(pa_loop::Loop* loop, int timeoutMs)
{
    std::vector<struct pollfd> fds;
    std::vector<uint64_t> ids;
    fds.push_back({loop->wakeFd, POLLIN, 0});
    ids.push_back(0);
    uint64_t realNow = RealMs();
    for (const auto& entry : loop->monitors)
    {
        le_fdMonitor* m = entry.second;
        if (m->events == 0) continue;
        if (m->hangupQuietUntil > realNow)
        {
            uint64_t left = m->hangupQuietUntil - realNow;
            if (timeoutMs < 0 || static_cast<uint64_t>(timeoutMs) > left) timeoutMs = static_cast<int>(left);
            continue;
        }
        fds.push_back({m->fd, m->events, 0});
        ids.push_back(m->id);
    }
    if (timeoutMs != 0)
    {
        le_log_Flush();   // about to wait: what was logged goes out now
        pa_clk_PollBegins(&loop->pollWait);
    }
    int n = poll(fds.data(), fds.size(), timeoutMs);
    if (timeoutMs != 0) pa_clk_PollEnds(&loop->pollWait);
    if (n < 0)
    {
        if (errno != EINTR) LE_ERROR("poll failed: %s", strerror(errno));
        return false;
    }
    if (n == 0) return false;
    bool did = false;
    if (fds[0].revents & POLLIN)
    {
        DrainWake(loop);
        did = true;
    }
    for (size_t i = 1; i < fds.size(); i++)
    {
        if (fds[i].revents == 0) continue;
        auto it = loop->monitors.find(ids[i]);
        if (it == loop->monitors.end()) continue;   // deleted by an earlier handler of this pass
        le_fdMonitor* m = it->second;
        if (fds[i].revents & POLLNVAL)
        {
            LE_ERROR("fd monitor '%s': descriptor %d is not open; monitor disabled", m->name, m->fd);
            m->events = 0;
            continue;
        }
        short ready = fds[i].revents & (m->events | POLLHUP | POLLERR);
        if (ready & (POLLHUP | POLLERR))
        {
            m->hangupQuietUntil = RealMs() + HangupBackoffMs;
        }
        if (ready == 0) continue;
        le_fdMonitor* saved = CurrentMonitor;
        CurrentMonitor = m;
        m->handler(m->fd, ready);
        CurrentMonitor = saved;
        did = true;
    }
    return did;
}
}

namespace pa_loop
{
Loop* NewLoop()
{
    auto* loop = new Loop();
    loop->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return loop;
}

void FreeLoop(Loop* loop)
{
    if (loop == nullptr) return;
    if (loop->wakeFd >= 0) close(loop->wakeFd);
    delete loop;
}

void Wake(Loop* loop)
{
    pa_clk_PollWoken(&loop->pollWait);
    uint64_t one = 1;
    if (write(loop->wakeFd, &one, sizeof(one)) < 0)
    {
        // The counter is saturated only if the loop is far behind; it will wake anyway.
    }
}

Loop* CurrentLoop()
{
    return le_thread_GetCurrent()->loop;
}
}

void le_event_QueueFunctionToThread(le_thread_Ref_t thread, le_event_DeferredFunc_t func, void* param1Ptr,
                                    void* param2Ptr)
{
    if (thread == nullptr || func == nullptr) return;
    pa_loop::Loop* loop = thread->loop;
    {
        std::lock_guard<std::mutex> lock(loop->queueMutex);
        loop->queue.push_back({func, param1Ptr, param2Ptr});
    }
    pa_loop::Wake(loop);
}

void le_event_QueueFunction(le_event_DeferredFunc_t func, void* param1Ptr, void* param2Ptr)
{
    le_event_QueueFunctionToThread(le_thread_GetCurrent(), func, param1Ptr, param2Ptr);
}

bool le_event_ServiceOnce(int waitMs)
{
    pa_loop::Loop* loop = pa_loop::CurrentLoop();
    bool did = RunQueued(loop);
    did = RunDueTimers(loop) || did;
    int timeout = waitMs;
    if (did || HasQueued(loop))
    {
        timeout = 0;
    }
    else if (le_clk_GetMode() != LE_CLK_VIRTUAL)
    {
        uint64_t expiry;
        if (NextTimerExpiry(loop, &expiry))
        {
            uint64_t now = le_clk_NowMs();
            int untilTimer = expiry > now ? static_cast<int>(std::min<uint64_t>(expiry - now, 60000)) : 0;
            if (timeout < 0 || untilTimer < timeout) timeout = untilTimer;
        }
    }
    return PollDescriptors(loop, timeout) || did;
}

void le_event_RunUntilIdle(void)
{
    for (unsigned pass = 0; le_event_ServiceOnce(0); pass++)
    {
        if (pass == 1000000)
        {
            LE_WARN("Event loop still busy after a million passes");
            return;
        }
    }
}

void le_event_AdvanceMs(uint64_t ms)
{
    pa_loop::Loop* loop = pa_loop::CurrentLoop();
    uint64_t target = le_clk_NowMs() + ms;
    for (;;)
    {
        le_event_RunUntilIdle();
        uint64_t expiry;
        if (NextTimerExpiry(loop, &expiry) && expiry <= target)
        {
            le_clk_AdvanceTo(expiry);
            continue;
        }
        break;
    }
    le_clk_AdvanceTo(target);
    le_event_RunUntilIdle();
}

bool le_event_RunUntil(bool (*predicate)(void* context), void* context, int realTimeoutMs)
{
    pa_loop::Loop* loop = pa_loop::CurrentLoop();
    uint64_t deadline = RealMs() + static_cast<uint64_t>(realTimeoutMs);
    for (;;)
    {
        if (predicate(context)) return true;
        uint64_t now = RealMs();
        if (now >= deadline) return predicate(context);
        if (le_event_ServiceOnce(0)) continue;
        uint64_t expiry;
        if (le_clk_GetMode() == LE_CLK_VIRTUAL && NextVirtualWake(loop, &expiry))
        {
            le_clk_AdvanceTo(expiry);
            continue;
        }
        le_event_ServiceOnce(static_cast<int>(std::min<uint64_t>(deadline - now, 10)));
    }
}

int le_event_RunLoop(void)
{
    pa_loop::Loop* loop = pa_loop::CurrentLoop();
    while (!loop->stopped)
    {
        if (le_event_ServiceOnce(0)) continue;
        if (loop->stopped) break;
        uint64_t expiry;
        if (le_clk_GetMode() == LE_CLK_VIRTUAL && NextVirtualWake(loop, &expiry))
        {
            le_clk_AdvanceTo(expiry);
            continue;
        }
        le_event_ServiceOnce(-1);
    }
    // Work queued before the stop request still runs, so a thread that queues and then stops
    // the loop never loses what it queued.
    RunQueued(loop);
    loop->stopped = false;
    return loop->exitCode;
}

void le_event_StopLoop(le_thread_Ref_t thread, int exitCode)
{
    if (thread == nullptr) thread = le_thread_GetMain();
    thread->loop->exitCode = exitCode;
    thread->loop->stopped = true;
    pa_loop::Wake(thread->loop);
}

bool le_event_IsStopped(void)
{
    return pa_loop::CurrentLoop()->stopped;
}

//--------------------------------------------------------------------------------------------------
// Timers
//--------------------------------------------------------------------------------------------------
le_timer_Ref_t le_timer_Create(const char* name)
{
    auto* t = new le_timer();
    t->id = NextId.fetch_add(1);
    snprintf(t->name, sizeof(t->name), "%s", name ? name : "");
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    Timers[t->id] = t;
    return t;
}

void le_timer_Delete(le_timer_Ref_t timerRef)
{
    if (timerRef == nullptr) return;
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    Timers.erase(timerRef->id);
    delete timerRef;
}

le_result_t le_timer_SetHandler(le_timer_Ref_t timerRef, le_timer_ExpiryHandler_t handler)
{
    if (timerRef == nullptr) return LE_BAD_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    timerRef->handler = handler;
    return LE_OK;
}

le_result_t le_timer_SetMsInterval(le_timer_Ref_t timerRef, uint32_t interval)
{
    if (timerRef == nullptr) return LE_BAD_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    timerRef->interval = interval;
    if (timerRef->running)
    {
        timerRef->expiry = le_clk_NowMs() + interval;
    }
    return LE_OK;
}

uint32_t le_timer_GetMsInterval(le_timer_Ref_t timerRef)
{
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    return timerRef ? timerRef->interval : 0;
}

le_result_t le_timer_SetRepeat(le_timer_Ref_t timerRef, uint32_t repeatCount)
{
    if (timerRef == nullptr) return LE_BAD_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    if (timerRef->running) return LE_BUSY;
    timerRef->repeat = repeatCount;
    return LE_OK;
}

le_result_t le_timer_SetContextPtr(le_timer_Ref_t timerRef, void* contextPtr)
{
    if (timerRef == nullptr) return LE_BAD_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    timerRef->context = contextPtr;
    return LE_OK;
}

void* le_timer_GetContextPtr(le_timer_Ref_t timerRef)
{
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    return timerRef ? timerRef->context : nullptr;
}

le_result_t le_timer_Start(le_timer_Ref_t timerRef)
{
    if (timerRef == nullptr) return LE_BAD_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    if (timerRef->running) return LE_BUSY;
    timerRef->running = true;
    timerRef->firedInRun = 0;
    timerRef->loop = pa_loop::CurrentLoop();
    timerRef->expiry = le_clk_NowMs() + timerRef->interval;
    pa_loop::Wake(timerRef->loop);
    return LE_OK;
}

le_result_t le_timer_Stop(le_timer_Ref_t timerRef)
{
    if (timerRef == nullptr) return LE_BAD_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    if (!timerRef->running) return LE_FAULT;
    timerRef->running = false;
    return LE_OK;
}

le_result_t le_timer_Restart(le_timer_Ref_t timerRef)
{
    if (timerRef == nullptr) return LE_BAD_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    timerRef->running = false;
    return le_timer_Start(timerRef);
}

bool le_timer_IsRunning(le_timer_Ref_t timerRef)
{
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    return timerRef && timerRef->running;
}

uint32_t le_timer_GetExpiryCount(le_timer_Ref_t timerRef)
{
    std::lock_guard<std::recursive_mutex> lock(TimerMutex);
    return timerRef ? timerRef->expiryCount : 0;
}

const char* le_timer_GetName(le_timer_Ref_t timerRef)
{
    return timerRef ? timerRef->name : "";
}

//--------------------------------------------------------------------------------------------------
// Descriptor monitors (owned by the creating thread's loop)
//--------------------------------------------------------------------------------------------------
le_fdMonitor_Ref_t le_fdMonitor_Create(const char* name, int fd, le_fdMonitor_HandlerFunc_t handler, short events)
{
    if (fd < 0 || handler == nullptr)
    {
        LE_ERROR("fd monitor '%s': bad descriptor %d or no handler", name ? name : "", fd);
        return nullptr;
    }
    auto* m = new le_fdMonitor();
    m->id = NextId.fetch_add(1);
    snprintf(m->name, sizeof(m->name), "%s", name ? name : "");
    m->fd = fd;
    m->handler = handler;
    m->events = events & (POLLIN | POLLOUT | POLLPRI);
    m->loop = pa_loop::CurrentLoop();
    m->loop->monitors[m->id] = m;
    return m;
}

void le_fdMonitor_Enable(le_fdMonitor_Ref_t monitorRef, short events)
{
    if (monitorRef) monitorRef->events |= events & (POLLIN | POLLOUT | POLLPRI);
}

void le_fdMonitor_Disable(le_fdMonitor_Ref_t monitorRef, short events)
{
    if (monitorRef) monitorRef->events &= static_cast<short>(~events);
}

void le_fdMonitor_SetDeferrable(le_fdMonitor_Ref_t monitorRef, bool isDeferrable)
{
    if (monitorRef) monitorRef->deferrable = isDeferrable;
}

bool le_fdMonitor_IsDeferrable(le_fdMonitor_Ref_t monitorRef)
{
    return monitorRef && monitorRef->deferrable;
}

void le_fdMonitor_SetContextPtr(le_fdMonitor_Ref_t monitorRef, void* contextPtr)
{
    if (monitorRef) monitorRef->context = contextPtr;
}

void* le_fdMonitor_GetContextPtr(void)
{
    return CurrentMonitor ? CurrentMonitor->context : nullptr;
}

le_fdMonitor_Ref_t le_fdMonitor_GetMonitor(void)
{
    return CurrentMonitor;
}

short le_fdMonitor_GetEvents(le_fdMonitor_Ref_t monitorRef)
{
    return monitorRef ? monitorRef->events : 0;
}

int le_fdMonitor_GetFd(le_fdMonitor_Ref_t monitorRef)
{
    return monitorRef ? monitorRef->fd : -1;
}

void le_fdMonitor_Delete(le_fdMonitor_Ref_t monitorRef)
{
    if (monitorRef == nullptr) return;
    monitorRef->loop->monitors.erase(monitorRef->id);
    if (CurrentMonitor == monitorRef) CurrentMonitor = nullptr;
    delete monitorRef;
}
