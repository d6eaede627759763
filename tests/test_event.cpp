// Event loop, timers, descriptor monitors, threads and the clock.
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "le_mem.h"
#include "le_thread.h"
#include "le_tty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
std::vector<std::string> Trace;

void Record(void* p1, void*)
{
    Trace.push_back(static_cast<const char*>(p1));
}

class EventTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        le_log_SetStderr(false);
        le_clk_SetMode(LE_CLK_VIRTUAL);
        Trace.clear();
    }
};

std::vector<uint64_t> FireTimes;
void OnTimer(le_timer_Ref_t)
{
    FireTimes.push_back(le_clk_NowMs());
}
}

TEST_F(EventTest, QueuedFunctionsRunInOrderOnlyWhenTheLoopRuns)
{
    le_event_QueueFunction(Record, const_cast<char*>("a"), nullptr);
    le_event_QueueFunction(Record, const_cast<char*>("b"), nullptr);
    EXPECT_TRUE(Trace.empty());
    le_event_RunUntilIdle();
    EXPECT_EQ(Trace, (std::vector<std::string>{"a", "b"}));
}

TEST_F(EventTest, TimersFollowTheVirtualClock)
{
    FireTimes.clear();
    uint64_t start = le_clk_NowMs();
    le_timer_Ref_t once = le_timer_Create("once");
    le_timer_SetMsInterval(once, 4999);
    le_timer_SetHandler(once, OnTimer);
    ASSERT_EQ(le_timer_Start(once), LE_OK);
    EXPECT_EQ(le_timer_Start(once), LE_BUSY);
    le_event_AdvanceMs(4998);
    EXPECT_TRUE(FireTimes.empty());
    le_event_AdvanceMs(1);
    ASSERT_EQ(FireTimes.size(), 1u);
    EXPECT_EQ(FireTimes[0] - start, 4999u);
    EXPECT_FALSE(le_timer_IsRunning(once));
    EXPECT_EQ(le_timer_Stop(once), LE_FAULT);

    FireTimes.clear();
    le_timer_Ref_t three = le_timer_Create("three");
    le_timer_SetMsInterval(three, 100);
    le_timer_SetRepeat(three, 3);
    le_timer_SetHandler(three, OnTimer);
    start = le_clk_NowMs();
    le_timer_Start(three);
    le_event_AdvanceMs(10000);
    ASSERT_EQ(FireTimes.size(), 3u);
    EXPECT_EQ(FireTimes[2] - start, 300u);
    EXPECT_EQ(le_timer_GetExpiryCount(three), 3u);
    le_timer_Delete(once);
    le_timer_Delete(three);
}

TEST_F(EventTest, RepeatZeroRunsUntilStopped)
{
    FireTimes.clear();
    le_timer_Ref_t t = le_timer_Create("UartKeepsAwake");
    le_timer_SetMsInterval(t, 2000);
    le_timer_SetRepeat(t, 0);
    le_timer_SetHandler(t, OnTimer);
    le_timer_Start(t);
    le_event_AdvanceMs(20000);
    EXPECT_EQ(FireTimes.size(), 10u);
    EXPECT_EQ(le_timer_Stop(t), LE_OK);
    le_event_AdvanceMs(20000);
    EXPECT_EQ(FireTimes.size(), 10u);
    le_timer_Delete(t);
}

namespace
{
le_timer_Ref_t SelfDeleting = nullptr;
int SelfDeletingFired = 0;
void DeleteSelf(le_timer_Ref_t t)
{
    SelfDeletingFired++;
    le_timer_Delete(t);
    SelfDeleting = nullptr;
}

le_timer_Ref_t Victim = nullptr;
int VictimFired = 0;
void DeleteOther(le_timer_Ref_t)
{
    le_timer_Delete(Victim);
}
void VictimHandler(le_timer_Ref_t)
{
    VictimFired++;
}
}

TEST_F(EventTest, TimerDeletedInAHandlerIsNeverTouchedAgain)
{
    SelfDeleting = le_timer_Create("self");
    le_timer_SetMsInterval(SelfDeleting, 10);
    le_timer_SetRepeat(SelfDeleting, 0);
    le_timer_SetHandler(SelfDeleting, DeleteSelf);
    le_timer_Start(SelfDeleting);

    // Two timers due at the same moment: the first deletes the second before it runs.
    le_timer_Ref_t killer = le_timer_Create("killer");
    Victim = le_timer_Create("victim");
    for (le_timer_Ref_t t : {killer, Victim})
    {
        le_timer_SetMsInterval(t, 50);
    }
    le_timer_SetHandler(killer, DeleteOther);
    le_timer_SetHandler(Victim, VictimHandler);
    le_timer_Start(killer);
    le_timer_Start(Victim);
    le_event_AdvanceMs(1000);
    EXPECT_EQ(SelfDeletingFired, 1);
    EXPECT_EQ(VictimFired, 0);
    le_timer_Delete(killer);
}

TEST_F(EventTest, SleepAdvancesVirtualTimeAndDueTimersRunAfterwards)
{
    FireTimes.clear();
    le_timer_Ref_t t = le_timer_Create("t");
    le_timer_SetMsInterval(t, 1500);
    le_timer_SetHandler(t, OnTimer);
    le_timer_Start(t);
    uint64_t before = le_clk_NowMs();
    le_thread_Sleep(10);
    EXPECT_EQ(le_clk_NowMs() - before, 10000u);
    EXPECT_TRUE(FireTimes.empty());   // the sleep holds the loop
    le_event_RunUntilIdle();
    ASSERT_EQ(FireTimes.size(), 1u);
    EXPECT_EQ(FireTimes[0] - before, 10000u);
    le_timer_Delete(t);
}

TEST_F(EventTest, SkipClockSleepsWithoutWaiting)
{
    le_clk_SetMode(LE_CLK_SKIP);
    uint64_t before = le_clk_NowMs();
    auto realStart = std::chrono::steady_clock::now();
    le_thread_Sleep(10);
    auto realMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - realStart).count();
    EXPECT_GE(le_clk_NowMs() - before, 10000u);
    EXPECT_LT(realMs, 1000);
}

namespace
{
struct PipeMonitorState
{
    int readFd;
    std::string got;
    int writableCalls = 0;
    le_fdMonitor_Ref_t monitor;
};
PipeMonitorState* Pipe = nullptr;

void OnPipe(int fd, short events)
{
    if (events & POLLIN)
    {
        char buf[64];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0) Pipe->got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(le_fdMonitor_GetContextPtr(), Pipe);
    EXPECT_EQ(le_fdMonitor_GetMonitor(), Pipe->monitor);
}

void OnWritable(int, short events)
{
    if (events & POLLOUT)
    {
        Pipe->writableCalls++;
        le_fdMonitor_Disable(le_fdMonitor_GetMonitor(), POLLOUT);
    }
}

bool GotHello(void*)
{
    return Pipe->got == "hello";
}
}

TEST_F(EventTest, FdMonitorOnAPipeSeesDataAndWritability)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    PipeMonitorState state{fds[0], "", 0, nullptr};
    Pipe = &state;
    state.monitor = le_fdMonitor_Create("pipe", fds[0], OnPipe, POLLIN);
    le_fdMonitor_SetContextPtr(state.monitor, &state);
    ASSERT_EQ(write(fds[1], "hello", 5), 5);
    EXPECT_TRUE(le_event_RunUntil(GotHello, nullptr, 2000));

    le_fdMonitor_Ref_t out = le_fdMonitor_Create("out", fds[1], OnWritable, 0);
    le_event_ServiceOnce(0);
    EXPECT_EQ(state.writableCalls, 0);   // POLLOUT not asked for
    le_fdMonitor_Enable(out, POLLOUT);
    le_event_ServiceOnce(0);
    EXPECT_EQ(state.writableCalls, 1);
    le_event_ServiceOnce(0);
    EXPECT_EQ(state.writableCalls, 1);   // the handler disabled it
    EXPECT_EQ(le_fdMonitor_GetEvents(out), 0);

    le_fdMonitor_SetDeferrable(state.monitor, true);
    EXPECT_TRUE(le_fdMonitor_IsDeferrable(state.monitor));
    le_fdMonitor_Delete(state.monitor);
    le_fdMonitor_Delete(out);
    ASSERT_EQ(write(fds[1], "more", 4), 4);
    le_event_ServiceOnce(0);
    EXPECT_EQ(state.got, "hello");   // deleted monitors hear nothing
    close(fds[0]);
    close(fds[1]);
}

namespace
{
le_fdMonitor_Ref_t Second = nullptr;
int SecondCalls = 0;
void DeletesSecond(int fd, short)
{
    char b[8];
    if (read(fd, b, sizeof(b)) < 0) return;
    if (Second)
    {
        le_fdMonitor_Delete(Second);
        Second = nullptr;
    }
}
void SecondHandler(int fd, short)
{
    char b[8];
    if (read(fd, b, sizeof(b)) < 0) return;
    SecondCalls++;
}
}

TEST_F(EventTest, MonitorDeletedByAnotherHandlerInTheSamePassIsSkipped)
{
    int a[2], b[2];
    ASSERT_EQ(pipe2(a, O_NONBLOCK), 0);
    ASSERT_EQ(pipe2(b, O_NONBLOCK), 0);
    le_fdMonitor_Ref_t first = le_fdMonitor_Create("first", a[0], DeletesSecond, POLLIN);
    Second = le_fdMonitor_Create("second", b[0], SecondHandler, POLLIN);
    ASSERT_EQ(write(a[1], "x", 1), 1);
    ASSERT_EQ(write(b[1], "y", 1), 1);
    le_event_ServiceOnce(100);
    le_event_ServiceOnce(0);
    EXPECT_EQ(SecondCalls, 0);
    le_fdMonitor_Delete(first);
    for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
}

namespace
{
struct PtyState
{
    std::string got;
};
PtyState* Pty = nullptr;
void OnPty(int fd, short events)
{
    if (!(events & POLLIN)) return;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) Pty->got.append(buf, static_cast<size_t>(n));
}
bool PtyGotAll(void* expected)
{
    return Pty->got == *static_cast<std::string*>(expected);
}
}

TEST_F(EventTest, TtyOnAPseudoTerminalIsRawAndReadable)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slavePath = ptsname(master);

    int fd = le_tty_Open(slavePath.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(le_tty_SetBaudRate(fd, LE_TTY_SPEED_460800), LE_OK);
    EXPECT_EQ(le_tty_SetFraming(fd, 'N', 8, 1), LE_OK);
    EXPECT_EQ(le_tty_SetRaw(fd, 0, 0), LE_OK);
    EXPECT_EQ(le_tty_SetFlowControl(fd, LE_TTY_FLOW_CONTROL_NONE), LE_OK);
    le_tty_Speed_t speed;
    ASSERT_EQ(le_tty_GetBaudRate(fd, &speed), LE_OK);
    EXPECT_EQ(speed, LE_TTY_SPEED_460800);

    PtyState state;
    Pty = &state;
    le_fdMonitor_Ref_t m = le_fdMonitor_Create("tty", fd, OnPty, POLLIN);
    // Raw mode: bytes that a cooked terminal would eat (CR, ^C, ^D, 0x00) arrive as they are.
    std::string expected("\x55\x00\x07\x01\r\x03\x04\x0a", 8);
    ASSERT_EQ(write(master, expected.data(), expected.size()), static_cast<ssize_t>(expected.size()));
    EXPECT_TRUE(le_event_RunUntil(PtyGotAll, &expected, 2000));
    le_fdMonitor_Delete(m);
    le_tty_Close(fd);
    close(master);
}

TEST_F(EventTest, TtySpeedCodesAndRefusals)
{
    const uint32_t bauds[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800};
    for (int code = 11; code <= 19; code++)
    {
        EXPECT_EQ(le_tty_SpeedToBaud(static_cast<le_tty_Speed_t>(code)), bauds[code - 11]) << code;
    }
    EXPECT_EQ(le_tty_SpeedToBaud(static_cast<le_tty_Speed_t>(20)), 0u);

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    int fd = le_tty_Open(ptsname(master), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(le_tty_SetBaudRate(fd, static_cast<le_tty_Speed_t>(20)), LE_OUT_OF_RANGE);
    EXPECT_EQ(le_tty_SetFraming(fd, 'X', 8, 1), LE_BAD_PARAMETER);
    le_tty_Close(fd);
    close(master);

    le_log_CaptureStart();
    EXPECT_EQ(le_tty_Open("/nonexistent/ttyHS9", O_RDWR), -1);
    EXPECT_EQ(le_log_CaptureCount("Cannot open /nonexistent/ttyHS9"), 1u);
    int devnullLike[2];
    ASSERT_EQ(pipe(devnullLike), 0);
    std::string fdPath = "/proc/self/fd/" + std::to_string(devnullLike[0]);
    EXPECT_EQ(le_tty_Open(fdPath.c_str(), O_RDONLY), -1);
    EXPECT_EQ(le_log_CaptureCount("is not a terminal"), 1u);
    close(devnullLike[0]);
    close(devnullLike[1]);
}

namespace
{
std::atomic<int> FromThread{0};
void MarkFromThread(void* p1, void*)
{
    EXPECT_EQ(le_thread_GetCurrent(), le_thread_GetMain());
    FromThread = static_cast<int>(reinterpret_cast<intptr_t>(p1));
}

void* Worker(void*)
{
    le_event_QueueFunctionToThread(le_thread_GetMain(), MarkFromThread, reinterpret_cast<void*>(42), nullptr);
    le_event_StopLoop(le_thread_GetMain(), 7);
    return reinterpret_cast<void*>(5);
}
}

TEST_F(EventTest, AnotherThreadQueuesWorkAndStopsTheMainLoop)
{
    le_clk_SetMode(LE_CLK_REAL);
    le_thread_Ref_t t = le_thread_Create("AppThread", Worker, nullptr);
    ASSERT_EQ(le_thread_SetJoinable(t), LE_OK);
    ASSERT_EQ(le_thread_Start(t), LE_OK);
    EXPECT_EQ(le_event_RunLoop(), 7);
    EXPECT_EQ(FromThread.load(), 42);
    void* result = nullptr;
    EXPECT_EQ(le_thread_Join(t, &result), LE_OK);
    EXPECT_EQ(result, reinterpret_cast<void*>(5));
    EXPECT_STREQ(le_thread_GetName(le_thread_GetMain()), "main");
}

namespace
{
void StopAtTimer(le_timer_Ref_t)
{
    le_event_StopLoop(nullptr, 3);
}
}

TEST_F(EventTest, RunLoopOnTheVirtualClockJumpsToTheNextTimer)
{
    le_timer_Ref_t t = le_timer_Create("LooperAntiLock");
    le_timer_SetMsInterval(t, 65000);
    le_timer_SetHandler(t, StopAtTimer);
    uint64_t start = le_clk_NowMs();
    le_timer_Start(t);
    auto realStart = std::chrono::steady_clock::now();
    EXPECT_EQ(le_event_RunLoop(), 3);
    EXPECT_EQ(le_clk_NowMs() - start, 65000u);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(2));
    le_timer_Delete(t);
}

TEST_F(EventTest, RecursiveMutexAndPools)
{
    le_mutex_Ref_t key = le_mutex_CreateRecursive("Key");
    le_mutex_Lock(key);
    le_mutex_Lock(key);   // recursive: the same thread may take it again
    le_mutex_Unlock(key);
    le_mutex_Unlock(key);
    le_mutex_Ref_t plain = le_mutex_CreateNonRecursive("plain");
    EXPECT_EQ(le_mutex_TryLock(plain), LE_OK);
    le_mutex_Unlock(plain);
    le_mutex_Delete(key);
    le_mutex_Delete(plain);

    le_mem_PoolRef_t pool = le_mem_CreatePool("HndModbus", 264);
    EXPECT_EQ(le_mem_GetObjectSize(pool), 264u);
    auto* a = static_cast<uint8_t*>(le_mem_ForceAlloc(pool));
    auto* b = static_cast<uint8_t*>(le_mem_ForceAlloc(pool));
    EXPECT_EQ(a[0], 0);
    EXPECT_EQ(a[263], 0);
    memset(a, 0xAB, 264);
    EXPECT_EQ(le_mem_GetObjectCount(pool), 2u);
    le_mem_SetMaxObjs(pool, 2);
    EXPECT_EQ(le_mem_TryAlloc(pool), nullptr);
    le_mem_Release(a);
    le_mem_Release(b);
    EXPECT_EQ(le_mem_GetObjectCount(pool), 0u);
}

namespace
{
// A worker that wakes every second (on the platform clock) and notes the time, until told to stop.
std::mutex WakeMutex;
std::vector<uint64_t> Wakes;
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

std::vector<uint64_t> WakesSoFar()
{
    std::lock_guard<std::mutex> lock(WakeMutex);
    return Wakes;
}
}

TEST_F(EventTest, ThreadsSleepingOnTheVirtualClockWakeExactlyAsTimeIsMoved)
{
    Shared = le_mutex_CreateRecursive("Shared");
    le_thread_Ref_t worker = le_thread_Create("Worker", WakeEverySecond, nullptr);
    le_thread_SetJoinable(worker);
    le_thread_Start(worker);
    le_event_AdvanceMs(3500);
    EXPECT_EQ(WakesSoFar(), (std::vector<uint64_t>{1000, 2000, 3000}));
    usleep(50000);   // real time alone moves nothing
    EXPECT_EQ(WakesSoFar().size(), 3u);

    // A sleep of the main thread moves time too; a worker waiting for a lock lets it.
    le_mutex_Lock(Shared);
    le_thread_SleepMs(1000);
    EXPECT_EQ(WakesSoFar().size(), 3u);   // the fourth wake waits for the lock
    le_mutex_Unlock(Shared);   // it takes its turn before time moves again
    le_event_AdvanceMs(1000);
    EXPECT_EQ(WakesSoFar(), (std::vector<uint64_t>{1000, 2000, 3000, 4500, 5500}));

    // An idle loop jumps to the next wake-up of a sleeping thread.
    KeepWaking = false;
    EXPECT_TRUE(le_event_RunUntil([](void*) { return WakesSoFar().size() >= 6; }, nullptr, 2000));
    EXPECT_EQ(WakesSoFar().back(), 6500u);
    EXPECT_EQ(le_thread_Join(worker, nullptr), LE_OK);
    le_mutex_Delete(Shared);
}

namespace
{
std::atomic<uint64_t> WorkerSleptRealMs{0};
void* SleepHalfASecond(void*)
{
    auto start = std::chrono::steady_clock::now();
    le_thread_SleepMs(300);
    WorkerSleptRealMs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    return nullptr;
}
}

TEST_F(EventTest, OnTheSkipClockOnlyTheMainThreadJumps)
{
    le_clk_SetMode(LE_CLK_SKIP);
    uint64_t before = le_clk_NowMs();
    le_thread_SleepMs(10000);   // the start-up wait costs nothing
    EXPECT_GE(le_clk_NowMs() - before, 10000u);
    before = le_clk_NowMs();
    le_thread_Ref_t worker = le_thread_Create("Worker", SleepHalfASecond, nullptr);
    le_thread_SetJoinable(worker);
    le_thread_Start(worker);
    le_thread_Join(worker, nullptr);
    EXPECT_GE(WorkerSleptRealMs.load(), 300u);        // a worker's sleep takes real time
    EXPECT_LT(le_clk_NowMs() - before, 5000u);        // and does not move the program's time ahead
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
    le_thread_Ref_t t = le_thread_Create("Hog", HogTheLock, &hog);
    le_thread_SetJoinable(t);
    le_thread_Start(t);
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
