// Time as a platform service: a real monotonic clock, or a virtual one that tests drive.
#pragma once

#include "le_basics.h"

typedef enum
{
    LE_CLK_REAL,     // real monotonic time, sleeps take real time
    LE_CLK_SKIP,     // real time, but sleeps jump ahead instead of blocking
    LE_CLK_VIRTUAL   // time moves only by sleeps and by the loop drivers
}
le_clk_Mode_t;

void le_clk_SetMode(le_clk_Mode_t mode);
le_clk_Mode_t le_clk_GetMode(void);

// Milliseconds since an arbitrary start; never goes back.
uint64_t le_clk_NowMs(void);

// Wall-clock milliseconds since 1970: real time, or on the virtual clock a fixed start
// (2026-01-01 00:00:00 UTC) plus virtual time, so that runs are reproducible.
uint64_t le_clk_EpochMs(void);

// Virtual clock only: moves time forward to the given value (never back).
void le_clk_AdvanceTo(uint64_t ms);

// Sleeps on the platform clock (blocking on the real clock).
void le_thread_Sleep(unsigned int seconds);
void le_thread_SleepMs(uint64_t ms);
