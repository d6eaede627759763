#include "le_ipcService.h"
#include "ipc_internal.h"
#include "le_log.h"

#include <cstring>

namespace
{
void Dispatch(le_msg_MessageRef_t msgRef, void* contextPtr)
{
    const auto* def = static_cast<const le_ipc_ServiceDef_t*>(contextPtr);
    uint32_t id;
    auto served = [def](uint32_t i) { return i < def->operationCount && def->operations[i].handler != nullptr; };
    if (!pa_ipc_TakeMsgId(msgRef, def->serviceName, served, &id)) return;
    if (!def->operations[id].handler(msgRef)) pa_ipc_RejectRequest(msgRef, def->serviceName, def->operations[id].name);
}
}

bool pa_ipc_TakeMsgId(le_msg_MessageRef_t msgRef, const char* serviceName, const std::function<bool(uint32_t)>& served,
                      uint32_t* idPtr)
{
    if (!le_ipc_GetMsgId(msgRef, idPtr))
    {
        LE_ERROR("%s: message too short to hold an id; closing the session", serviceName);
        le_msg_SessionRef_t session = le_msg_GetSession(msgRef);
        le_msg_ReleaseMsg(msgRef);
        le_msg_CloseSession(session);
        return false;
    }
    if (!served(*idPtr))
    {
        // Spelled as the log watchers of deployed modules expect it.
        LE_ERROR("%s: Unknowm msg id = %u", serviceName, *idPtr);
        le_msg_ReleaseMsg(msgRef);
        return false;
    }
    return true;
}

void pa_ipc_RejectRequest(le_msg_MessageRef_t msgRef, const char* serviceName, const char* operationName)
{
    LE_ERROR("%s: Error unpacking message (%s); closing the session", serviceName, operationName);
    le_msg_SessionRef_t session = le_msg_GetSession(msgRef);
    le_msg_ReleaseMsg(msgRef);
    le_msg_CloseSession(session);
}

bool le_ipc_GetMsgId(le_msg_MessageRef_t msgRef, uint32_t* idPtr)
{
    if (le_msg_GetPayloadSize(msgRef) < sizeof(uint32_t)) return false;
    memcpy(idPtr, le_msg_GetPayloadPtr(msgRef), sizeof(uint32_t));
    return true;
}

le_msg_ServiceRef_t le_ipc_AdvertiseService(const le_ipc_ServiceDef_t* def)
{
    le_msg_ProtocolRef_t protocol = le_msg_GetProtocolRef(def->protocolId, def->largestMsgSize);
    le_msg_ServiceRef_t service = le_msg_CreateService(protocol, def->serviceName);
    le_msg_SetServiceRecvHandler(service, Dispatch, const_cast<le_ipc_ServiceDef_t*>(def));
    if (le_msg_AdvertiseService(service) != LE_OK)
    {
        LE_ERROR("Cannot advertise %s", def->serviceName);
    }
    return service;
}
