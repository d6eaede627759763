#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"

#include "clock_internal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <set>
#include <thread>

namespace
{
std::atomic<int> ClockMode{LE_CLK_REAL};
std::atomic<uint64_t> VirtualMs{0};   // written only under VirtualMutex
std::atomic<uint64_t> SkipOffsetMs{0};

// Virtual time: the threads that take part, and the wake-up times of those asleep.
std::mutex VirtualMutex;
std::condition_variable VirtualChanged;
int Running = 0;                      // taking part and neither asleep nor waiting
std::multiset<uint64_t> Sleepers;     // wake-up times of threads asleep on the virtual clock
thread_local bool TakesPart = false;
thread_local int WaitDepth = 0;
// A thread that never comes to a wait holds virtual time up this long at most.
const auto QuietLimit = std::chrono::seconds(10);

uint64_t RealMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Caller holds VirtualMutex: waits until every other taking-part thread sleeps or waits.
void WaitQuiet(std::unique_lock<std::mutex>& lock)
{
    int self = (TakesPart && WaitDepth == 0) ? 1 : 0;
    if (!VirtualChanged.wait_for(lock, QuietLimit, [self] { return Running <= self; }))
    {
        fprintf(stderr, "virtual clock: %d thread(s) still running after %lld s; time moves on\n", Running - self,
                static_cast<long long>(QuietLimit.count()));
    }
}

// Moves virtual time to target, waking the sleepers on the way in the order of their wake-up
// times; each group of sleepers runs until it sleeps or waits again before time moves further.
void AdvanceVirtual(uint64_t target)
{
    std::unique_lock<std::mutex> lock(VirtualMutex);
    WaitQuiet(lock);
    while (!Sleepers.empty() && *Sleepers.begin() <= target)
    {
        uint64_t due = *Sleepers.begin();
        if (due > VirtualMs.load()) VirtualMs.store(due);
        while (!Sleepers.empty() && *Sleepers.begin() <= due)
        {
            Sleepers.erase(Sleepers.begin());
            Running++;   // counted by the waker, so that nobody moves time before it has run
        }
        VirtualChanged.notify_all();
        WaitQuiet(lock);
    }
    if (target > VirtualMs.load()) VirtualMs.store(target);
    VirtualChanged.notify_all();
}

// A taking-part thread asleep on the virtual clock: it wakes once time has been moved to its
// wake-up time by a thread that does not sleep this way (the main loop, a test).
void SleepVirtual(uint64_t ms)
{
    if (ms == 0) return;
    std::unique_lock<std::mutex> lock(VirtualMutex);
    uint64_t wake = VirtualMs.load() + ms;
    Sleepers.insert(wake);
    Running--;
    VirtualChanged.notify_all();
    VirtualChanged.wait(lock, [wake] { return VirtualMs.load() >= wake; });
}
}

void pa_clk_ThreadStarting(void)
{
    std::lock_guard<std::mutex> lock(VirtualMutex);
    Running++;
}

void pa_clk_ThreadNotStarted(void)
{
    std::lock_guard<std::mutex> lock(VirtualMutex);
    Running--;
    VirtualChanged.notify_all();
}

void pa_clk_ThreadBegins(void)
{
    TakesPart = true;
}

void pa_clk_ThreadEnds(void)
{
    if (!TakesPart) return;
    TakesPart = false;
    std::lock_guard<std::mutex> lock(VirtualMutex);
    Running--;
    VirtualChanged.notify_all();
}

void pa_clk_WaitBegins(void)
{
    if (!TakesPart || WaitDepth++ > 0) return;
    std::lock_guard<std::mutex> lock(VirtualMutex);
    Running--;
    VirtualChanged.notify_all();
}

void pa_clk_WaitEnds(void)
{
    if (!TakesPart || --WaitDepth > 0) return;
    std::lock_guard<std::mutex> lock(VirtualMutex);
    Running++;
}

void pa_clk_PollBegins(pa_clk_PollWait_t* w)
{
    if (!TakesPart || WaitDepth++ > 0) return;
    std::lock_guard<std::mutex> lock(VirtualMutex);
    Running--;
    w->waiting = true;
    w->counted = false;
    VirtualChanged.notify_all();
}

void pa_clk_PollEnds(pa_clk_PollWait_t* w)
{
    if (!TakesPart || --WaitDepth > 0) return;
    std::lock_guard<std::mutex> lock(VirtualMutex);
    w->waiting = false;
    if (w->counted) w->counted = false;   // its waker counted it already
    else Running++;
}

void pa_clk_PollWoken(pa_clk_PollWait_t* w)
{
    if (ClockMode.load() != LE_CLK_VIRTUAL) return;
    std::lock_guard<std::mutex> lock(VirtualMutex);
    if (!w->waiting || w->counted) return;
    w->counted = true;
    Running++;
}

bool pa_clk_TakesPart(void)
{
    return TakesPart;
}

void pa_clk_WaitEndsCounted(void)
{
    if (TakesPart) --WaitDepth;
}

void pa_clk_CountRunning(void)
{
    std::lock_guard<std::mutex> lock(VirtualMutex);
    Running++;
}

bool pa_clk_MoveToNextSleeper(void)
{
    uint64_t wake;
    if (ClockMode.load() != LE_CLK_VIRTUAL || TakesPart || !pa_clk_NextSleeperMs(&wake)) return false;
    AdvanceVirtual(wake);
    return true;
}

bool pa_clk_NextSleeperMs(uint64_t* msPtr)
{
    std::lock_guard<std::mutex> lock(VirtualMutex);
    if (Sleepers.empty()) return false;
    *msPtr = *Sleepers.begin();
    return true;
}

void le_clk_SetMode(le_clk_Mode_t mode)
{
    if (mode == LE_CLK_VIRTUAL && ClockMode.load() != LE_CLK_VIRTUAL)
    {
        // Carry on from the present so that time never goes back.
        std::lock_guard<std::mutex> lock(VirtualMutex);
        VirtualMs.store(le_clk_NowMs());
    }
    ClockMode.store(mode);
}

le_clk_Mode_t le_clk_GetMode(void)
{
    return static_cast<le_clk_Mode_t>(ClockMode.load());
}

uint64_t le_clk_NowMs(void)
{
    switch (ClockMode.load())
    {
        case LE_CLK_VIRTUAL: return VirtualMs.load();
        case LE_CLK_SKIP: return RealMs() + SkipOffsetMs.load();
        default: return RealMs();
    }
}

uint64_t le_clk_RealMs(void)
{
    return RealMs();
}

uint64_t le_clk_EpochMs(void)
{
    if (ClockMode.load() == LE_CLK_VIRTUAL)
    {
        const uint64_t virtualEpochMs = 1767225600000ull;
        return virtualEpochMs + VirtualMs.load();
    }
    // A skipped sleep moves the platform's own time only: the wall clock stays true, so that
    // timestamps (the Data Hub's, the cloud's, the log's) never run ahead of the world's.
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void le_clk_AdvanceTo(uint64_t ms)
{
    AdvanceVirtual(ms);
}

void le_thread_SleepMs(uint64_t ms)
{
    le_log_Flush();
    switch (ClockMode.load())
    {
        case LE_CLK_VIRTUAL:
            if (TakesPart && WaitDepth == 0) SleepVirtual(ms);
            else AdvanceVirtual(VirtualMs.load() + ms);
            break;
        case LE_CLK_SKIP:
            // Only the program's own thread jumps: a worker thread that sleeps in a loop would
            // otherwise race the whole program's time ahead.
            if (!TakesPart)
            {
                SkipOffsetMs.fetch_add(ms);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            break;
        default:
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            break;
    }
}

void le_thread_Sleep(unsigned int seconds)
{
    le_thread_SleepMs(static_cast<uint64_t>(seconds) * 1000u);
}
