#include "loop_internal.h"
#include "clock_internal.h"
#include "le_clock.h"
#include "le_log.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <unistd.h>
#include <cstring>

namespace
{
thread_local le_thread* CurrentThread = nullptr;
std::atomic<le_thread*> MainThread{nullptr};
std::atomic<unsigned> AdoptedCount{0};

le_thread* Adopt(const char* name)
{
    auto* t = new le_thread();
    snprintf(t->name, sizeof(t->name), "%s", name);
    t->tid = pthread_self();
    t->started = true;
    t->loop = pa_loop::NewLoop();
    return t;
}

// The process's first thread is the main thread: claim it before main() runs.
__attribute__((constructor)) void ClaimMainThread()
{
    le_thread_GetMain();
}

// On the virtual clock a thread that does not take part moves time while it waits for one that does.
bool MovesVirtualTime()
{
    return le_clk_GetMode() == LE_CLK_VIRTUAL && !pa_clk_TakesPart();
}

void* Trampoline(void* arg)
{
    auto* t = static_cast<le_thread*>(arg);
    CurrentThread = t;
    pa_clk_ThreadBegins();
    t->result = t->mainFunc(t->context);
    while (!t->destructors.empty())
    {
        auto d = t->destructors.back();
        t->destructors.pop_back();
        d.first(d.second);
    }
    t->finished = true;
    pa_clk_ThreadEnds();
    return t->result;
}
}

le_thread_Ref_t le_thread_GetMain(void)
{
    le_thread* m = MainThread.load();
    if (m == nullptr)
    {
        le_thread* candidate = Adopt("main");
        if (MainThread.compare_exchange_strong(m, candidate))
        {
            CurrentThread = candidate;
            m = candidate;
        }
        else
        {
            pa_loop::FreeLoop(candidate->loop);
            delete candidate;
        }
    }
    return m;
}

le_thread_Ref_t le_thread_GetCurrent(void)
{
    if (CurrentThread == nullptr)
    {
        le_thread* m = le_thread_GetMain();
        if (pthread_equal(m->tid, pthread_self()))
        {
            CurrentThread = m;
        }
        else
        {
            char name[32];
            snprintf(name, sizeof(name), "thread-%u", AdoptedCount.fetch_add(1) + 1);
            CurrentThread = Adopt(name);
        }
    }
    return CurrentThread;
}

const char* le_thread_GetName(le_thread_Ref_t thread)
{
    return thread ? thread->name : "?";
}

void le_thread_AddDestructor(le_thread_Destructor_t destructor, void* context)
{
    le_thread* t = le_thread_GetCurrent();
    if (destructor == nullptr || t->mainFunc == nullptr) return;   // main or adopted: never ends here
    for (const auto& d : t->destructors)
    {
        if (d.first == destructor && d.second == context) return;
    }
    t->destructors.emplace_back(destructor, context);
}

le_thread_Ref_t le_thread_Create(const char* name, le_thread_MainFunc_t mainFunc, void* contextPtr)
{
    auto* t = new le_thread();
    snprintf(t->name, sizeof(t->name), "%s", name ? name : "thread");
    t->mainFunc = mainFunc;
    t->context = contextPtr;
    t->loop = pa_loop::NewLoop();
    return t;
}

le_result_t le_thread_SetJoinable(le_thread_Ref_t thread)
{
    if (thread == nullptr || thread->started) return LE_FAULT;
    thread->joinable = true;
    return LE_OK;
}

le_result_t le_thread_Start(le_thread_Ref_t thread)
{
    if (thread == nullptr || thread->started.exchange(true)) return LE_FAULT;
    pa_clk_ThreadStarting();
    if (pthread_create(&thread->tid, nullptr, Trampoline, thread) != 0)
    {
        LE_ERROR("Cannot start thread %s", thread->name);
        pa_clk_ThreadNotStarted();
        thread->started = false;
        return LE_FAULT;
    }
    if (!thread->joinable)
    {
        pthread_detach(thread->tid);
    }
    return LE_OK;
}

le_result_t le_thread_Join(le_thread_Ref_t thread, void** resultPtrPtr)
{
    if (thread == nullptr || !thread->joinable || !thread->started) return LE_FAULT;
    if (thread == CurrentThread) return LE_DEADLOCK;
    void* result = nullptr;
    if (MovesVirtualTime())
    {
        // The thread may be asleep until time moves on.
        while (!thread->finished)
        {
            if (!pa_clk_MoveToNextSleeper()) usleep(1000);
        }
    }
    pa_clk_WaitBegins();
    int rc = pthread_join(thread->tid, &result);
    pa_clk_WaitEnds();
    if (rc != 0) return LE_FAULT;
    if (resultPtrPtr) *resultPtrPtr = result;
    pa_loop::FreeLoop(thread->loop);
    delete thread;
    return LE_OK;
}

//--------------------------------------------------------------------------------------------------
// Mutexes
//--------------------------------------------------------------------------------------------------
// Built on a condition variable rather than a pthread mutex so that a thread taking part in virtual
// time that waits for the lock is known to wait, and is counted as running again the moment the
// holder lets go: time cannot move on between the release and the waiter's turn. Waiters are
// served in the order they came (tickets): a holder that takes the lock again at once, as a looper
// between two passes does, queues behind them instead of starving them.
struct le_mutex
{
    std::mutex state;
    std::condition_variable released;
    bool recursive = false;
    bool held = false;
    pthread_t owner{};
    unsigned depth = 0;
    uint64_t nextTicket = 0;   // the ticket the next waiter draws
    uint64_t serving = 0;      // the ticket whose turn it is
    unsigned waiters = 0;
    unsigned waitersTakingPart = 0;
    unsigned handedOver = 0;   // of those, counted as running by a release and not yet through
    char name[32];
};

namespace
{
le_mutex_Ref_t CreateMutex(const char* name, bool recursive)
{
    auto* m = new le_mutex();
    snprintf(m->name, sizeof(m->name), "%s", name ? name : "");
    m->recursive = recursive;
    return m;
}

bool HeldByCaller(le_mutex_Ref_t m)
{
    return m->held && pthread_equal(m->owner, pthread_self());
}

void Take(le_mutex_Ref_t m)
{
    m->held = true;
    m->owner = pthread_self();
    m->depth = 1;
}
}

le_mutex_Ref_t le_mutex_CreateRecursive(const char* name)
{
    return CreateMutex(name, true);
}

le_mutex_Ref_t le_mutex_CreateNonRecursive(const char* name)
{
    return CreateMutex(name, false);
}

void le_mutex_Lock(le_mutex_Ref_t mutexRef)
{
    std::unique_lock<std::mutex> lock(mutexRef->state);
    if (HeldByCaller(mutexRef))
    {
        if (mutexRef->recursive) mutexRef->depth++;
        else LE_CRIT("Mutex %s locked again by its holder", mutexRef->name);
        return;
    }
    if (!mutexRef->held && mutexRef->waiters == 0)
    {
        Take(mutexRef);
        return;
    }
    uint64_t ticket = mutexRef->nextTicket++;
    mutexRef->waiters++;
    bool takesPart = pa_clk_TakesPart();
    if (takesPart) mutexRef->waitersTakingPart++;
    pa_clk_WaitBegins();
    auto released = [mutexRef, ticket] { return !mutexRef->held && mutexRef->serving == ticket; };
    while (MovesVirtualTime() && !released())
    {
        // The holder may be asleep until time moves on.
        lock.unlock();
        bool moved = pa_clk_MoveToNextSleeper();
        lock.lock();
        if (!moved) mutexRef->released.wait_for(lock, std::chrono::milliseconds(1), released);
    }
    mutexRef->released.wait(lock, released);
    mutexRef->serving++;
    mutexRef->waiters--;
    Take(mutexRef);
    if (takesPart)
    {
        mutexRef->waitersTakingPart--;
        if (mutexRef->handedOver > 0)
        {
            mutexRef->handedOver--;
            pa_clk_WaitEndsCounted();
            return;
        }
    }
    pa_clk_WaitEnds();
}

le_result_t le_mutex_TryLock(le_mutex_Ref_t mutexRef)
{
    std::lock_guard<std::mutex> lock(mutexRef->state);
    if (HeldByCaller(mutexRef) && mutexRef->recursive)
    {
        mutexRef->depth++;
        return LE_OK;
    }
    if (mutexRef->held || mutexRef->waiters > 0) return LE_WOULD_BLOCK;
    Take(mutexRef);
    return LE_OK;
}

void le_mutex_Unlock(le_mutex_Ref_t mutexRef)
{
    std::lock_guard<std::mutex> lock(mutexRef->state);
    if (!HeldByCaller(mutexRef))
    {
        LE_CRIT("Mutex %s unlocked by a thread that does not hold it", mutexRef->name);
        return;
    }
    if (--mutexRef->depth > 0) return;
    mutexRef->held = false;
    if (mutexRef->waitersTakingPart > mutexRef->handedOver)
    {
        mutexRef->handedOver++;
        pa_clk_CountRunning();
    }
    // Every waiter looks: the one whose ticket is served takes the lock.
    mutexRef->released.notify_all();
}

void le_mutex_Delete(le_mutex_Ref_t mutexRef)
{
    delete mutexRef;
}
