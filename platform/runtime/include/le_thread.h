// Threads and recursive mutexes.
#pragma once

#include "le_basics.h"
#include "le_event.h"

typedef void* (*le_thread_MainFunc_t)(void* contextPtr);

le_thread_Ref_t le_thread_Create(const char* name, le_thread_MainFunc_t mainFunc, void* contextPtr);
le_result_t le_thread_SetJoinable(le_thread_Ref_t thread);
le_result_t le_thread_Start(le_thread_Ref_t thread);
// Waits for a joinable thread and frees it. LE_DEADLOCK when joining oneself.
le_result_t le_thread_Join(le_thread_Ref_t thread, void** resultPtrPtr);
le_thread_Ref_t le_thread_GetCurrent(void);
le_thread_Ref_t le_thread_GetMain(void);
const char* le_thread_GetName(le_thread_Ref_t thread);

// Runs destructor(context) on the calling thread when its main function returns, so that services
// can forget what the thread registered (handlers, queued work) before the thread is freed.
// Destructors run last-registered first; adding the same destructor and context again does
// nothing. Ignored on the main thread and on threads not created by le_thread_Create.
typedef void (*le_thread_Destructor_t)(void* context);
void le_thread_AddDestructor(le_thread_Destructor_t destructor, void* context);

typedef struct le_mutex* le_mutex_Ref_t;
le_mutex_Ref_t le_mutex_CreateRecursive(const char* name);
le_mutex_Ref_t le_mutex_CreateNonRecursive(const char* name);
void le_mutex_Lock(le_mutex_Ref_t mutexRef);
le_result_t le_mutex_TryLock(le_mutex_Ref_t mutexRef);
void le_mutex_Unlock(le_mutex_Ref_t mutexRef);
void le_mutex_Delete(le_mutex_Ref_t mutexRef);
