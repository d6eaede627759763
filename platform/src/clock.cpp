#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"

#include <atomic>
#include <ctime>
#include <thread>
#include <chrono>

namespace
{
std::atomic<int> ClockMode{LE_CLK_REAL};
std::atomic<uint64_t> VirtualMs{0};
std::atomic<uint64_t> SkipOffsetMs{0};

uint64_t RealMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}
}

void le_clk_SetMode(le_clk_Mode_t mode)
{
    if (mode == LE_CLK_VIRTUAL && ClockMode.load() != LE_CLK_VIRTUAL)
    {
        // Carry on from the present so that time never goes back.
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

uint64_t le_clk_EpochMs(void)
{
    if (ClockMode.load() == LE_CLK_VIRTUAL)
    {
        const uint64_t virtualEpochMs = 1767225600000ull;
        return virtualEpochMs + VirtualMs.load();
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t wall = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return wall + (ClockMode.load() == LE_CLK_SKIP ? SkipOffsetMs.load() : 0);
}

void le_clk_AdvanceTo(uint64_t ms)
{
    uint64_t cur = VirtualMs.load();
    while (ms > cur && !VirtualMs.compare_exchange_weak(cur, ms))
    {
    }
}

void le_thread_SleepMs(uint64_t ms)
{
    le_log_Flush();
    switch (ClockMode.load())
    {
        case LE_CLK_VIRTUAL:
            VirtualMs.fetch_add(ms);
            break;
        case LE_CLK_SKIP:
            SkipOffsetMs.fetch_add(ms);
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
