// How threads take part in virtual time (see le_clock.h). Threads made by le_thread_Create take
// part; the hooks do nothing for any other thread.
#pragma once

#include <cstdint>

// By the creator, before the thread runs: from now on the new thread counts as running.
void pa_clk_ThreadStarting(void);
// By the creator when the thread could not be started after all.
void pa_clk_ThreadNotStarted(void);
// By the new thread, first thing: it takes part.
void pa_clk_ThreadBegins(void);
// By the thread, last thing.
void pa_clk_ThreadEnds(void);
// Around a blocking wait of the calling thread (its loop's poll, a lock held by another thread, a
// join): while it waits, virtual time may move on without it.
void pa_clk_WaitBegins(void);
void pa_clk_WaitEnds(void);
// Whether the calling thread takes part.
bool pa_clk_TakesPart(void);
// A wait of a taking-part thread that somebody else already counted as running again
// (pa_clk_CountRunning), when the lock it waited for was handed over to it.
void pa_clk_WaitEndsCounted(void);
void pa_clk_CountRunning(void);
// Earliest wake-up time of a thread sleeping on the virtual clock; false when none sleeps.
bool pa_clk_NextSleeperMs(uint64_t* msPtr);
// For a thread that does not take part and waits for one that does (a lock, a join) on the
// virtual clock: moves time to the next wake-up of a sleeping thread, as an idle loop would, so
// that the thread waited for can get on. False when nobody sleeps (or the clock is not virtual).
bool pa_clk_MoveToNextSleeper(void);

// A loop's poll, waited in by a taking-part thread. Something queued to the loop from another
// thread counts the waiting thread as running at once (pa_clk_PollWoken), so that nobody moves
// time before it has taken what it was given. Guarded by the clock's own lock.
typedef struct pa_clk_PollWait
{
    bool waiting = false;
    bool counted = false;
}
pa_clk_PollWait_t;
void pa_clk_PollBegins(pa_clk_PollWait_t* w);
void pa_clk_PollEnds(pa_clk_PollWait_t* w);
void pa_clk_PollWoken(pa_clk_PollWait_t* w);
