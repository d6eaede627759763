#include "service_server.h"

#include <vector>

namespace
{
struct Guard
{
    explicit Guard(le_mutex_Ref_t lock) : lock(lock) { le_mutex_Lock(lock); }
    ~Guard() { le_mutex_Unlock(lock); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    le_mutex_Ref_t lock;
};

// Forgets one registration: its reference, the component's handler and the record. Caller holds
// the lock.
void Release(ServerRegistry* r, ServerRegistration* reg)
{
    le_ref_DeleteRef(r->refs, reg->safeRef);
    if (reg->remove != nullptr) reg->remove(reg);
    le_mem_Release(reg);
}

struct SessionRegistrations
{
    le_msg_SessionRef_t session;
    std::vector<ServerRegistration*> found;
};

void Collect(void*, void* ptr, void* ctx)
{
    auto* s = static_cast<SessionRegistrations*>(ctx);
    auto* reg = static_cast<ServerRegistration*>(ptr);
    if (reg->session == s->session) s->found.push_back(reg);
}
}

void RegistryInit(ServerRegistry* r)
{
    if (r->refs != nullptr) return;
    r->refs = le_ref_CreateMap(r->name, 8);
    r->pool = le_mem_CreatePool(r->name, sizeof(ServerRegistration));
    r->lock = le_mutex_CreateRecursive(r->name);
}

ServerRegistration* RegistryAdd(ServerRegistry* r, le_ipc_ServerCall_t* call, uint64_t clientContext, size_t event,
                                void* owner)
{
    auto* reg = static_cast<ServerRegistration*>(le_mem_ForceAlloc(r->pool));
    *reg = ServerRegistration{call->session, clientContext, event, owner, nullptr, nullptr, nullptr};
    Guard guard(r->lock);
    reg->safeRef = le_ref_CreateRef(r->refs, reg);
    return reg;
}

void RegistryCommit(ServerRegistry* r, ServerRegistration* reg, void* componentRef,
                    void (*remove)(const ServerRegistration*), uint64_t* refPtr)
{
    Guard guard(r->lock);
    if (componentRef == nullptr)   // the component is not started on this board
    {
        Release(r, reg);
        *refPtr = 0;
        return;
    }
    reg->componentRef = componentRef;
    reg->remove = remove;
    *refPtr = reinterpret_cast<uintptr_t>(reg->safeRef);
}

void RegistryRemove(ServerRegistry* r, le_ipc_ServerCall_t* call, uint64_t ref, size_t event)
{
    void* safeRef = reinterpret_cast<void*>(static_cast<uintptr_t>(ref));
    Guard guard(r->lock);
    auto* reg = static_cast<ServerRegistration*>(le_ref_Lookup(r->refs, safeRef));
    // Another client's reference, or one of another event, is as unknown as one never handed out.
    if (reg == nullptr || reg->session != call->session || reg->event != event)
    {
        if (!r->closeOnUnknownRef) return;
        LE_INFO("Invalid reference");
        call->closeSession = true;
        return;
    }
    Release(r, reg);
}

void RegistrySessionClosed(ServerRegistry* r, le_msg_SessionRef_t session)
{
    if (r->refs == nullptr) return;
    Guard guard(r->lock);
    SessionRegistrations s{session, {}};
    le_ref_ForEach(r->refs, Collect, &s);
    for (ServerRegistration* reg : s.found) Release(r, reg);
}

bool RegistryHolds(ServerRegistry* r, void* safeRef, le_msg_SessionRef_t session)
{
    Guard guard(r->lock);
    auto* reg = static_cast<ServerRegistration*>(le_ref_Lookup(r->refs, safeRef));
    return reg != nullptr && reg->session == session;
}

size_t RegistryCount(const ServerRegistry* r)
{
    return r->refs ? le_ref_Count(r->refs) : 0;
}
