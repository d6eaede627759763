#include "le_ipcService.h"
#include "le_log.h"

#include <cstring>

namespace
{
void Dispatch(le_msg_MessageRef_t msgRef, void* contextPtr)
{
    const auto* def = static_cast<const le_ipc_ServiceDef_t*>(contextPtr);
    le_msg_SessionRef_t session = le_msg_GetSession(msgRef);
    uint32_t id;
    if (!le_ipc_GetMsgId(msgRef, &id))
    {
        LE_ERROR("%s: message too short to hold an id; closing the session", def->serviceName);
        le_msg_ReleaseMsg(msgRef);
        le_msg_CloseSession(session);
        return;
    }
    if (id >= def->operationCount || def->operations[id].handler == nullptr)
    {
        LE_ERROR("%s: unknown message id %u", def->serviceName, id);
        le_msg_ReleaseMsg(msgRef);
        return;
    }
    if (!def->operations[id].handler(msgRef))
    {
        LE_ERROR("%s: Error unpacking message (%s); closing the session", def->serviceName,
                 def->operations[id].name);
        le_msg_ReleaseMsg(msgRef);
        le_msg_CloseSession(session);
    }
}
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
