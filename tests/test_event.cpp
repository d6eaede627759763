// Event loop, timers, descriptor monitors, threads and the clock. (The tty is met by the EnOcean
// tests, on a pseudo-terminal.)
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "le_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
using Times = std::vector<uint64_t>;
Times FireTimes;   // when OnTimer ran, on the platform clock
void OnTimer(le_timer_Ref_t)
{
    FireTimes.push_back(le_clk_NowMs());
}

le_timer_Ref_t StartTimer(const char* name, uint32_t ms, uint32_t repeat, le_timer_ExpiryHandler_t handler = OnTimer)
{
    le_timer_Ref_t t = le_timer_Create(name);
    le_timer_SetMsInterval(t, ms);
    le_timer_SetRepeat(t, repeat);
    le_timer_SetHandler(t, handler);
    EXPECT_EQ(le_timer_Start(t), LE_OK) << name;
    return t;
}

le_thread_Ref_t StartThread(const char* name, le_thread_MainFunc_t main, void* context = nullptr)
{
    le_thread_Ref_t t = le_thread_Create(name, main, context);
    EXPECT_EQ(le_thread_SetJoinable(t), LE_OK);
    EXPECT_EQ(le_thread_Start(t), LE_OK);
    return t;
}

long RealMsSince(std::chrono::steady_clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

// What a descriptor monitor read, and how often it was told of room to write.
struct Monitored
{
    std::string got;
    int writable = 0;
    le_fdMonitor_Ref_t monitor = nullptr;
} Seen;
void OnReadable(int fd, short events)
{
    char buf[256];
    ssize_t n;
    while ((events & POLLIN) && (n = read(fd, buf, sizeof(buf))) > 0) Seen.got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(le_fdMonitor_GetContextPtr(), &Seen);
    EXPECT_EQ(le_fdMonitor_GetMonitor(), Seen.monitor);
}
bool GotAll(void* expected)
{
    return Seen.got == *static_cast<std::string*>(expected);
}

class EventTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        le_log_SetStderr(false);
        le_clk_SetMode(LE_CLK_VIRTUAL);
        FireTimes.clear();
    }
};
}

TEST_F(EventTest, TimersFollowTheVirtualClock)
{
    uint64_t start = le_clk_NowMs();
    le_timer_Ref_t once = StartTimer("once", 4999, 1);
    EXPECT_EQ(le_timer_Start(once), LE_BUSY);
    le_event_AdvanceMs(4998);
    EXPECT_TRUE(FireTimes.empty());
    le_event_AdvanceMs(1);
    EXPECT_EQ(FireTimes, Times{start + 4999});
    EXPECT_FALSE(le_timer_IsRunning(once));
    EXPECT_EQ(le_timer_Stop(once), LE_FAULT);
    // A repeat count of three fires three times; of zero, until stopped.
    FireTimes.clear();
    start = le_clk_NowMs();
    le_timer_Ref_t three = StartTimer("three", 100, 3);
    le_event_AdvanceMs(10000);
    EXPECT_EQ(FireTimes, (Times{start + 100, start + 200, start + 300}));
    EXPECT_EQ(le_timer_GetExpiryCount(three), 3u);
    FireTimes.clear();
    le_timer_Ref_t forever = StartTimer("UartKeepsAwake", 2000, 0);
    le_event_AdvanceMs(20000);
    EXPECT_EQ(FireTimes.size(), 10u);
    EXPECT_EQ(le_timer_Stop(forever), LE_OK);
    le_event_AdvanceMs(20000);
    EXPECT_EQ(FireTimes.size(), 10u);
    // A sleep moves the clock too, but holds the loop: a timer due meanwhile runs afterwards.
    FireTimes.clear();
    le_timer_Ref_t during = StartTimer("during", 1500, 1);
    uint64_t before = le_clk_NowMs();
    le_thread_Sleep(10);
    EXPECT_EQ(le_clk_NowMs() - before, 10000u);
    EXPECT_TRUE(FireTimes.empty());
    le_event_RunUntilIdle();
    EXPECT_EQ(FireTimes, Times{before + 10000});
    for (le_timer_Ref_t t : {once, three, forever, during}) le_timer_Delete(t);
}

TEST_F(EventTest, TimerDeletedInAHandlerIsNeverTouchedAgain)
{
    static int selfDeleting = 0;
    static le_timer_Ref_t victim = nullptr;
    StartTimer("self", 10, 0, [](le_timer_Ref_t t) {
        selfDeleting++;
        le_timer_Delete(t);
    });
    // Two timers due at the same moment: the first deletes the second before it runs.
    le_timer_Ref_t killer = StartTimer("killer", 50, 1, [](le_timer_Ref_t) { le_timer_Delete(victim); });
    victim = StartTimer("victim", 50, 1);
    le_event_AdvanceMs(1000);
    EXPECT_EQ(selfDeleting, 1);
    EXPECT_TRUE(FireTimes.empty());
    le_timer_Delete(killer);
}

TEST_F(EventTest, RunLoopOnTheVirtualClockJumpsToTheNextTimer)
{
    uint64_t start = le_clk_NowMs();
    le_timer_Ref_t stop = StartTimer("LooperAntiLock", 65000, 1, [](le_timer_Ref_t) { le_event_StopLoop(nullptr, 3); });
    le_timer_Ref_t early = StartTimer("early", 1000, 1);   // started later, due sooner
    auto realStart = std::chrono::steady_clock::now();
    EXPECT_EQ(le_event_RunLoop(), 3);
    EXPECT_EQ(le_clk_NowMs() - start, 65000u);
    EXPECT_EQ(FireTimes, Times{start + 1000});
    EXPECT_LT(RealMsSince(realStart), 2000);
    le_timer_Delete(stop);
    le_timer_Delete(early);
}

TEST_F(EventTest, FdMonitorOnAPipeSeesDataAndWritability)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    Seen.monitor = le_fdMonitor_Create("pipe", fds[0], OnReadable, POLLIN);
    le_fdMonitor_SetContextPtr(Seen.monitor, &Seen);
    std::string hello = "hello";
    ASSERT_EQ(write(fds[1], hello.data(), hello.size()), 5);
    EXPECT_TRUE(le_event_RunUntil(GotAll, &hello, 2000));

    le_fdMonitor_Ref_t out = le_fdMonitor_Create("out", fds[1], [](int, short events) {
        if (!(events & POLLOUT)) return;
        Seen.writable++;
        le_fdMonitor_Disable(le_fdMonitor_GetMonitor(), POLLOUT);
    }, 0);
    le_event_ServiceOnce(0);
    EXPECT_EQ(Seen.writable, 0);   // POLLOUT not asked for
    le_fdMonitor_Enable(out, POLLOUT);
    le_event_ServiceOnce(0);
    le_event_ServiceOnce(0);
    EXPECT_EQ(Seen.writable, 1);   // the handler disabled it
    EXPECT_EQ(le_fdMonitor_GetEvents(out), 0);

    le_fdMonitor_Delete(Seen.monitor);
    le_fdMonitor_Delete(out);
    ASSERT_EQ(write(fds[1], "more", 4), 4);
    le_event_ServiceOnce(0);
    EXPECT_EQ(Seen.got, "hello");   // deleted monitors hear nothing
    close(fds[0]);
    close(fds[1]);
}

TEST_F(EventTest, MonitorDeletedByAnotherHandlerInTheSamePassIsSkipped)
{
    static le_fdMonitor_Ref_t second = nullptr;
    static int secondCalls = 0;
    int a[2], b[2];
    ASSERT_EQ(pipe2(a, O_NONBLOCK), 0);
    ASSERT_EQ(pipe2(b, O_NONBLOCK), 0);
    le_fdMonitor_Ref_t first = le_fdMonitor_Create("first", a[0], [](int fd, short) {
        char c[8];
        if (read(fd, c, sizeof(c)) <= 0 || second == nullptr) return;
        le_fdMonitor_Delete(second);
        second = nullptr;
    }, POLLIN);
    second = le_fdMonitor_Create("second", b[0], [](int fd, short) {
        char c[8];
        if (read(fd, c, sizeof(c)) >= 0) secondCalls++;
    }, POLLIN);
    ASSERT_EQ(write(a[1], "x", 1), 1);
    ASSERT_EQ(write(b[1], "y", 1), 1);
    le_event_ServiceOnce(100);
    le_event_ServiceOnce(0);
    EXPECT_EQ(secondCalls, 0);
    le_fdMonitor_Delete(first);
    for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
}

TEST_F(EventTest, AnotherThreadQueuesWorkAndStopsTheMainLoop)
{
    static std::atomic<le_thread_Ref_t> ranOn{nullptr};
    le_clk_SetMode(LE_CLK_REAL);
    le_thread_Ref_t t = StartThread("AppThread", [](void*) -> void* {
        le_event_QueueFunctionToThread(le_thread_GetMain(), [](void*, void*) { ranOn = le_thread_GetCurrent(); },
                                       nullptr, nullptr);
        le_event_StopLoop(le_thread_GetMain(), 7);
        return reinterpret_cast<void*>(5);
    });
    EXPECT_EQ(le_event_RunLoop(), 7);
    EXPECT_EQ(ranOn.load(), le_thread_GetMain());   // queued before the stop: still run, on main
    void* result = nullptr;
    EXPECT_EQ(le_thread_Join(t, &result), LE_OK);
    EXPECT_EQ(result, reinterpret_cast<void*>(5));
}

namespace
{
// A worker that wakes every second (on the platform clock) and notes the time, until told to stop.
std::mutex WakeMutex;
Times Wakes;
std::atomic<bool> KeepWaking{true};
le_mutex_Ref_t Shared = nullptr;
void* WakeEverySecond(void*)
{
    uint64_t start = le_clk_NowMs();
    while (KeepWaking)
    {
        le_thread_SleepMs(1000);
        le_mutex_Lock(Shared);   // may be held by the main thread
        {
            std::lock_guard<std::mutex> lock(WakeMutex);
            Wakes.push_back(le_clk_NowMs() - start);
        }
        le_mutex_Unlock(Shared);
    }
    return nullptr;
}
Times WakesSoFar()
{
    std::lock_guard<std::mutex> lock(WakeMutex);
    return Wakes;
}
}

TEST_F(EventTest, ThreadsSleepingOnTheVirtualClockWakeExactlyAsTimeIsMoved)
{
    Shared = le_mutex_CreateRecursive("Shared");
    le_thread_Ref_t worker = StartThread("Worker", WakeEverySecond);
    le_event_AdvanceMs(3500);
    EXPECT_EQ(WakesSoFar(), (Times{1000, 2000, 3000}));
    usleep(50000);   // real time alone moves nothing
    EXPECT_EQ(WakesSoFar().size(), 3u);
    // A sleep of the main thread moves time too; a worker waiting for a lock lets it.
    le_mutex_Lock(Shared);
    le_thread_SleepMs(1000);
    EXPECT_EQ(WakesSoFar().size(), 3u);   // the fourth wake waits for the lock
    le_mutex_Unlock(Shared);   // it takes its turn before time moves again
    le_event_AdvanceMs(1000);
    EXPECT_EQ(WakesSoFar(), (Times{1000, 2000, 3000, 4500, 5500}));
    // An idle loop jumps to the next wake-up of a sleeping thread.
    KeepWaking = false;
    EXPECT_TRUE(le_event_RunUntil([](void*) { return WakesSoFar().size() >= 6; }, nullptr, 2000));
    EXPECT_EQ(WakesSoFar().back(), 6500u);
    EXPECT_EQ(le_thread_Join(worker, nullptr), LE_OK);
    le_mutex_Delete(Shared);
}

namespace
{
struct Hog
{
    le_mutex_Ref_t key;
    std::atomic<long> rounds{0};
    std::atomic<bool> stop{false};
};

// Takes the lock again the moment it lets go, as a looper without pause between passes does (for
// a couple of seconds at most, so that a starved waiter fails the test rather than hangs it).
void* HogTheLock(void* context)
{
    auto* hog = static_cast<Hog*>(context);
    while (!hog->stop && hog->rounds < 100000)
    {
        le_mutex_Lock(hog->key);
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
        while (std::chrono::steady_clock::now() < until)
        {
        }
        hog->rounds++;
        le_mutex_Unlock(hog->key);
    }
    return nullptr;
}
}

TEST_F(EventTest, AWaiterGetsTheLockBeforeAHolderThatTakesItAgainAtOnce)
{
    le_clk_SetMode(LE_CLK_SKIP);   // as veltrona runs on a development machine
    Hog hog;
    hog.key = le_mutex_CreateRecursive("Key");
    le_thread_Ref_t t = StartThread("Hog", HogTheLock, &hog);
    while (hog.rounds < 10) usleep(100);
    for (int i = 0; i < 20; i++)
    {
        long before = hog.rounds;
        le_mutex_Lock(hog.key);
        long waited = hog.rounds - before;
        le_mutex_Unlock(hog.key);
        // Served in turn: at most the round under way and the one already queued ahead.
        EXPECT_LE(waited, 2) << "round " << i;
    }
    hog.stop = true;
    le_thread_Join(t, nullptr);
    le_mutex_Delete(hog.key);
}
