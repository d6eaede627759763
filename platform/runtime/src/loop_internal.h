// Runtime internals shared by the event loop and the thread implementation.
#pragma once

#include "clock_internal.h"

#include "le_event.h"
#include "le_thread.h"

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <pthread.h>
#include <string>
#include <utility>
#include <vector>

struct le_fdMonitor;

namespace pa_loop
{
struct QueuedCall
{
    le_event_DeferredFunc_t func;
    void* param1;
    void* param2;
};

struct Loop
{
    std::mutex queueMutex;
    std::deque<QueuedCall> queue;
    int wakeFd = -1;
    std::atomic<bool> stopped{false};
    std::atomic<int> exitCode{0};
    std::map<uint64_t, le_fdMonitor*> monitors;   // touched only by the owning thread
    pa_clk_PollWait_t pollWait;                   // its owner's wait in poll, on the virtual clock
};

Loop* NewLoop();
void FreeLoop(Loop* loop);
void Wake(Loop* loop);
}

struct le_thread
{
    char name[32];
    pthread_t tid{};
    le_thread_MainFunc_t mainFunc = nullptr;
    void* context = nullptr;
    bool joinable = false;
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    void* result = nullptr;
    pa_loop::Loop* loop = nullptr;
    std::vector<std::pair<le_thread_Destructor_t, void*>> destructors;   // touched only by the thread
};

namespace pa_loop
{
// The loop of the calling thread (created the first time a thread needs one).
Loop* CurrentLoop();
}
