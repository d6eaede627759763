#include "loop_internal.h"
#include "le_log.h"

#include <cstdio>
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

void* Trampoline(void* arg)
{
    auto* t = static_cast<le_thread*>(arg);
    CurrentThread = t;
    t->result = t->mainFunc(t->context);
    while (!t->destructors.empty())
    {
        auto d = t->destructors.back();
        t->destructors.pop_back();
        d.first(d.second);
    }
    t->finished = true;
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
    if (pthread_create(&thread->tid, nullptr, Trampoline, thread) != 0)
    {
        LE_ERROR("Cannot start thread %s", thread->name);
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
    if (pthread_join(thread->tid, &result) != 0) return LE_FAULT;
    if (resultPtrPtr) *resultPtrPtr = result;
    pa_loop::FreeLoop(thread->loop);
    delete thread;
    return LE_OK;
}

//--------------------------------------------------------------------------------------------------
// Mutexes
//--------------------------------------------------------------------------------------------------
struct le_mutex
{
    pthread_mutex_t mutex;
    char name[32];
};

namespace
{
le_mutex_Ref_t CreateMutex(const char* name, int type)
{
    auto* m = new le_mutex();
    snprintf(m->name, sizeof(m->name), "%s", name ? name : "");
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, type);
    pthread_mutex_init(&m->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return m;
}
}

le_mutex_Ref_t le_mutex_CreateRecursive(const char* name)
{
    return CreateMutex(name, PTHREAD_MUTEX_RECURSIVE);
}

le_mutex_Ref_t le_mutex_CreateNonRecursive(const char* name)
{
    return CreateMutex(name, PTHREAD_MUTEX_ERRORCHECK);
}

void le_mutex_Lock(le_mutex_Ref_t mutexRef)
{
    int rc = pthread_mutex_lock(&mutexRef->mutex);
    if (rc != 0)
    {
        LE_CRIT("Mutex %s lock failed: %s", mutexRef->name, strerror(rc));
    }
}

le_result_t le_mutex_TryLock(le_mutex_Ref_t mutexRef)
{
    return pthread_mutex_trylock(&mutexRef->mutex) == 0 ? LE_OK : LE_WOULD_BLOCK;
}

void le_mutex_Unlock(le_mutex_Ref_t mutexRef)
{
    int rc = pthread_mutex_unlock(&mutexRef->mutex);
    if (rc != 0)
    {
        LE_CRIT("Mutex %s unlock failed: %s", mutexRef->name, strerror(rc));
    }
}

void le_mutex_Delete(le_mutex_Ref_t mutexRef)
{
    if (mutexRef == nullptr) return;
    pthread_mutex_destroy(&mutexRef->mutex);
    delete mutexRef;
}
