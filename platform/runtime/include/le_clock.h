// Time as a platform service: a real monotonic clock, or a virtual one that tests drive.
#pragma once

#include "le_basics.h"

typedef enum
{
    LE_CLK_REAL,     // real monotonic time, sleeps take real time
    LE_CLK_SKIP,     // real time, but sleeps jump ahead instead of blocking (those of threads made by
                     // le_thread_Create block, as on the real clock)
    LE_CLK_VIRTUAL   // time moves only by sleeps and by the loop drivers
}
le_clk_Mode_t;

void le_clk_SetMode(le_clk_Mode_t mode);
le_clk_Mode_t le_clk_GetMode(void);

// Milliseconds since an arbitrary start; never goes back.
uint64_t le_clk_NowMs(void);

// Real monotonic milliseconds whatever the mode: for waits on the outside world (a peer's answer,
// a socket's pause), which a skipping or virtual clock must not shorten.
uint64_t le_clk_RealMs(void);

// Wall-clock milliseconds since 1970: real time (on the skipping clock too, whose skipped sleeps
// move le_clk_NowMs only), or on the virtual clock a fixed start (2026-01-01 00:00:00 UTC) plus
// virtual time, so that runs are reproducible.
uint64_t le_clk_EpochMs(void);

// Virtual clock only: moves time forward to the given value (never back).
void le_clk_AdvanceTo(uint64_t ms);

// Sleeps on the platform clock (blocking on the real clock).
//
// On the virtual clock, time is shared by all threads like this:
// - Threads made with le_thread_Create take part. When one of them sleeps, it blocks until time
//   has been moved to its wake-up time; it never moves time itself.
// - Time is moved by everybody else: a sleep of the main thread (or of any thread not made by
//   le_thread_Create), le_clk_AdvanceTo, le_event_AdvanceMs, and an idle loop in le_event_RunLoop
//   or le_event_RunUntil, which jumps to its next timer or to the next wake-up of a sleeping
//   thread, whichever comes first.
// - Time moves only while every taking-part thread (other than the mover) sleeps or waits (in its
//   loop's poll, for a lock another thread holds, in a join) or has ended. Sleepers are woken in
//   the order of their wake-up times, and each group runs until it sleeps or waits again before
//   time moves further, so a test that calls le_event_AdvanceMs(2500) sees exactly the passes of
//   a looper thread that fall within those 2.5 s, every time.
// - A taking-part thread that runs on without ever waiting holds time up for 10 s of real time at
//   most (a line on stderr says so); a sleeper with nobody to move time sleeps until somebody does.
void le_thread_Sleep(unsigned int seconds);
void le_thread_SleepMs(uint64_t ms);
