#include "le_ipcService.h"
#include "ipc_internal.h"
#include "le_log.h"

#include <cstring>
#include <vector>

namespace
{
const size_t IdSize = sizeof(uint32_t);

size_t FixedSize(le_ipc_Type_t type)
{
    switch (type)
    {
        case LE_IPC_UINT8:
        case LE_IPC_BOOL: return 1;
        case LE_IPC_UINT16: return 2;
        case LE_IPC_UINT32:
        case LE_IPC_INT32: return 4;
        case LE_IPC_UINT64:
        case LE_IPC_DOUBLE:
        case LE_IPC_REF: return 8;
        default: return 0;
    }
}

bool IsVariable(le_ipc_Type_t type)
{
    return type == LE_IPC_STRING || type == LE_IPC_BYTES;
}

// Packs into buf, or only counts the bytes when buf is null.
struct Packer
{
    uint8_t* buf;
    size_t size;
    size_t used = 0;

    bool Put(const void* p, size_t n)
    {
        if (n > size - used) return false;
        if (n && buf) memcpy(buf + used, p, n);
        used += n;
        return true;
    }
};

bool PackOne(Packer* p, const le_ipc_Param_t& param, const le_ipc_Value_t& v)
{
    if (IsVariable(param.type))
    {
        if (v.size > param.maxSize || v.size > UINT32_MAX || (v.size > 0 && v.data == nullptr)) return false;
        uint32_t length = static_cast<uint32_t>(v.size);
        return p->Put(&length, sizeof(length)) && p->Put(v.data, v.size);
    }
    switch (param.type)
    {
        case LE_IPC_UINT8:
        {
            uint8_t x = static_cast<uint8_t>(v.num);
            return p->Put(&x, 1);
        }
        case LE_IPC_BOOL:
        {
            uint8_t x = v.num ? 1 : 0;
            return p->Put(&x, 1);
        }
        case LE_IPC_UINT16:
        {
            uint16_t x = static_cast<uint16_t>(v.num);
            return p->Put(&x, 2);
        }
        case LE_IPC_UINT32:
        case LE_IPC_INT32:
        {
            uint32_t x = static_cast<uint32_t>(v.num);
            return p->Put(&x, 4);
        }
        case LE_IPC_DOUBLE: return p->Put(&v.real, 8);
        default: return p->Put(&v.num, 8);
    }
}

bool UnpackOne(const uint8_t* buf, size_t size, size_t* offset, const le_ipc_Param_t& param, le_ipc_Value_t* v)
{
    *v = le_ipc_Value_t{0, 0.0, nullptr, 0};
    size_t left = size - *offset;
    const uint8_t* p = buf + *offset;
    if (IsVariable(param.type))
    {
        uint32_t length;
        if (left < sizeof(length)) return false;
        memcpy(&length, p, sizeof(length));
        if (length > param.maxSize || length > left - sizeof(length)) return false;
        v->data = p + sizeof(length);
        v->size = length;
        *offset += sizeof(length) + length;
        return true;
    }
    size_t n = FixedSize(param.type);
    if (left < n) return false;
    switch (param.type)
    {
        case LE_IPC_UINT8: v->num = p[0]; break;
        case LE_IPC_BOOL:
            if (p[0] > 1) return false;
            v->num = p[0];
            break;
        case LE_IPC_UINT16:
        {
            uint16_t x;
            memcpy(&x, p, 2);
            v->num = x;
            break;
        }
        case LE_IPC_UINT32:
        case LE_IPC_INT32:
        {
            uint32_t x;
            memcpy(&x, p, 4);
            v->num = x;
            break;
        }
        case LE_IPC_DOUBLE: memcpy(&v->real, p, 8); break;
        default: memcpy(&v->num, p, 8); break;
    }
    *offset += n;
    return true;
}

// A message of just the size it needs: the id, then the inputs packed; NULL when they exceed
// their limits or the largest message.
le_msg_MessageRef_t NewPackedMsg(le_msg_SessionRef_t session, uint32_t id, const le_ipc_Param_t* params,
                                 size_t count, const le_ipc_Value_t* values)
{
    size_t size = 0;
    if (!le_ipc_PackedSize(params, count, false, values, &size) || size > SIZE_MAX - IdSize) return nullptr;
    le_msg_MessageRef_t msg = le_msg_CreateSizedMsg(session, IdSize + size);
    if (msg == nullptr) return nullptr;
    auto* payload = static_cast<uint8_t*>(le_msg_GetPayloadPtr(msg));
    memcpy(payload, &id, IdSize);
    le_ipc_Pack(params, count, false, values, payload + IdSize, size, &size);
    le_msg_SetPayloadSize(msg, IdSize + size);
    return msg;
}

struct Served
{
    const le_ipc_Interface_t* iface;
    const le_ipc_Implementation_t* implementations;
};

void ServeRequest(le_msg_MessageRef_t msgRef, void* contextPtr)
{
    const auto* served = static_cast<const Served*>(contextPtr);
    const le_ipc_Interface_t* iface = served->iface;
    le_msg_SessionRef_t session = le_msg_GetSession(msgRef);
    uint32_t id;
    auto isServed = [served](uint32_t i) {
        return i < served->iface->methodCount && served->implementations[i] != nullptr;
    };
    if (!pa_ipc_TakeMsgId(msgRef, iface->serviceName, isServed, &id)) return;
    const le_ipc_Method_t& method = iface->methods[id];
    std::vector<le_ipc_Value_t> args(method.paramCount + 1, le_ipc_Value_t{0, 0.0, nullptr, 0});
    const uint8_t* payload = static_cast<const uint8_t*>(le_msg_GetPayloadPtr(msgRef));
    if (!le_ipc_Unpack(method.params, method.paramCount, false, payload + IdSize,
                       le_msg_GetPayloadSize(msgRef) - IdSize, args.data()))
    {
        pa_ipc_RejectRequest(msgRef, iface->serviceName, method.name);
        return;
    }
    le_ipc_ServerCall_t call = {session, args.data(), LE_OK, false};
    served->implementations[id](&call);
    if (call.closeSession)
    {
        le_msg_ReleaseMsg(msgRef);
        le_msg_CloseSession(session);
        return;
    }
    if (!le_msg_NeedsResponse(msgRef))
    {
        le_msg_ReleaseMsg(msgRef);
        return;
    }
    // Packed aside first, into what it needs: the outputs may point into the request's own bytes.
    size_t head = IdSize + (method.hasResult ? sizeof(int32_t) : 0);
    size_t outputs = 0;
    std::vector<uint8_t> answer;
    bool fits = le_ipc_PackedSize(method.params, method.paramCount, true, args.data(), &outputs);
    if (fits)
    {
        answer.resize(head + outputs);
        memcpy(answer.data(), &id, IdSize);
        if (method.hasResult)
        {
            int32_t result = call.result;
            memcpy(answer.data() + IdSize, &result, sizeof(result));
        }
        fits = le_ipc_Pack(method.params, method.paramCount, true, args.data(), answer.data() + head, outputs,
                           &outputs) &&
               le_msg_ReservePayload(msgRef, answer.size());
    }
    if (!fits)
    {
        LE_ERROR("%s: the answer of %s does not fit; closing the session", iface->serviceName, method.name);
        le_msg_ReleaseMsg(msgRef);
        le_msg_CloseSession(session);
        return;
    }
    memcpy(le_msg_GetPayloadPtr(msgRef), answer.data(), answer.size());
    le_msg_SetPayloadSize(msgRef, answer.size());
    le_msg_Respond(msgRef);
}
}

namespace
{
// Whether the parameter travels: inputs always, outputs unless the client's mask leaves them out.
bool Travels(const le_ipc_Param_t* params, size_t i, bool outputs, const le_ipc_Value_t* values)
{
    if (params[i].isOutput != outputs) return false;
    if (!outputs || params[i].presentIf == 0) return true;
    return (values[0].num & params[i].presentIf) != 0;
}
}

bool le_ipc_Pack(const le_ipc_Param_t* params, size_t count, bool outputs, const le_ipc_Value_t* values,
                 uint8_t* buf, size_t bufSize, size_t* usedPtr)
{
    Packer p{buf, bufSize};
    for (size_t i = 0; i < count; i++)
    {
        if (!Travels(params, i, outputs, values)) continue;
        if (!PackOne(&p, params[i], values[i])) return false;
    }
    *usedPtr = p.used;
    return true;
}

bool le_ipc_PackedSize(const le_ipc_Param_t* params, size_t count, bool outputs, const le_ipc_Value_t* values,
                       size_t* sizePtr)
{
    return le_ipc_Pack(params, count, outputs, values, nullptr, SIZE_MAX, sizePtr);
}

bool le_ipc_Unpack(const le_ipc_Param_t* params, size_t count, bool outputs, const uint8_t* buf, size_t size,
                   le_ipc_Value_t* values)
{
    size_t offset = 0;
    for (size_t i = 0; i < count; i++)
    {
        if (!Travels(params, i, outputs, values)) continue;
        if (!UnpackOne(buf, size, &offset, params[i], &values[i])) return false;
    }
    return offset == size;
}

le_result_t le_ipc_CopyString(const le_ipc_Value_t* value, char* buf, size_t bufSize)
{
    if (buf == nullptr || bufSize == 0) return LE_OVERFLOW;
    size_t n = value->size < bufSize - 1 ? value->size : bufSize - 1;
    if (n) memcpy(buf, value->data, n);
    buf[n] = '\0';
    // A zero byte inside the string ends it, as it would for any C reader.
    return (n == value->size && memchr(buf, '\0', n) == nullptr) ? LE_OK : LE_OVERFLOW;
}

le_msg_ServiceRef_t le_ipc_AdvertiseInterface(const le_ipc_Interface_t* iface,
                                             const le_ipc_Implementation_t* implementations)
{
    auto* served = new Served{iface, implementations};   // lives as long as the service
    le_msg_ProtocolRef_t protocol = le_msg_GetProtocolRef(iface->protocolId, iface->largestMsgSize);
    le_msg_ServiceRef_t service = le_msg_CreateService(protocol, iface->serviceName);
    le_msg_SetServiceRecvHandler(service, ServeRequest, served);
    if (le_msg_AdvertiseService(service) != LE_OK) LE_ERROR("Cannot advertise %s", iface->serviceName);
    return service;
}

le_result_t le_ipc_SendEvent(le_msg_SessionRef_t session, const le_ipc_Interface_t* iface, size_t eventIndex,
                             const le_ipc_Value_t* fields)
{
    if (session == nullptr || !le_msg_IsSessionOpen(session)) return LE_CLOSED;
    if (eventIndex >= iface->eventCount) return LE_BAD_PARAMETER;
    const le_ipc_Event_t& event = iface->events[eventIndex];
    le_msg_MessageRef_t msg = NewPackedMsg(session, event.msgId, event.fields, event.fieldCount, fields);
    if (msg == nullptr) return LE_OVERFLOW;
    le_msg_Send(msg);
    return LE_OK;
}

le_result_t le_ipc_OpenSession(const le_ipc_Interface_t* iface, le_msg_ReceiveHandler_t eventHandler, void* context,
                               le_msg_SessionRef_t* sessionPtr)
{
    le_msg_ProtocolRef_t protocol = le_msg_GetProtocolRef(iface->protocolId, iface->largestMsgSize);
    le_msg_SessionRef_t session = le_msg_CreateSession(protocol, iface->serviceName);
    if (eventHandler) le_msg_SetSessionRecvHandler(session, eventHandler, context);
    le_result_t r = le_msg_TryOpenSessionSync(session);
    if (r != LE_OK)
    {
        le_msg_DeleteSession(session);
        return r;
    }
    *sessionPtr = session;
    return LE_OK;
}

le_result_t le_ipc_Call(le_msg_SessionRef_t session, const le_ipc_Interface_t* iface, uint32_t methodId,
                        le_ipc_Value_t* args, le_result_t* resultPtr, le_msg_MessageRef_t* responsePtr)
{
    if (responsePtr) *responsePtr = nullptr;
    if (methodId >= iface->methodCount) return LE_BAD_PARAMETER;
    if (session == nullptr || !le_msg_IsSessionOpen(session)) return LE_CLOSED;
    const le_ipc_Method_t& method = iface->methods[methodId];
    le_msg_MessageRef_t msg = NewPackedMsg(session, methodId, method.params, method.paramCount, args);
    if (msg == nullptr) return LE_OVERFLOW;
    le_msg_MessageRef_t response = le_msg_RequestSyncResponse(msg);
    if (response == nullptr) return le_msg_LastCallTimedOut() ? LE_TIMEOUT : LE_CLOSED;
    const auto* in = static_cast<const uint8_t*>(le_msg_GetPayloadPtr(response));
    size_t size = le_msg_GetPayloadSize(response);
    size_t offset = IdSize;
    uint32_t id = 0;
    if (size >= IdSize) memcpy(&id, in, IdSize);
    int32_t result = LE_OK;
    bool ok = size >= IdSize && id == methodId;
    if (ok && method.hasResult)
    {
        ok = size - offset >= sizeof(result);
        if (ok) memcpy(&result, in + offset, sizeof(result));
        offset += sizeof(result);
    }
    ok = ok && le_ipc_Unpack(method.params, method.paramCount, true, in + offset, size - offset, args);
    if (!ok)
    {
        LE_ERROR("%s: the answer to %s does not unpack", iface->serviceName, method.name);
        le_msg_ReleaseMsg(response);
        return LE_FAULT;
    }
    if (resultPtr) *resultPtr = static_cast<le_result_t>(result);
    if (responsePtr) *responsePtr = response;
    else le_msg_ReleaseMsg(response);
    return LE_OK;
}

bool le_ipc_UnpackEvent(const le_ipc_Interface_t* iface, le_msg_MessageRef_t msgRef, size_t* eventIndexPtr,
                        le_ipc_Value_t* fields)
{
    uint32_t id;
    if (!le_ipc_GetMsgId(msgRef, &id)) return false;
    for (size_t e = 0; e < iface->eventCount; e++)
    {
        const le_ipc_Event_t& event = iface->events[e];
        if (event.msgId != id) continue;
        const auto* payload = static_cast<const uint8_t*>(le_msg_GetPayloadPtr(msgRef));
        if (!le_ipc_Unpack(event.fields, event.fieldCount, false, payload + IdSize,
                           le_msg_GetPayloadSize(msgRef) - IdSize, fields))
        {
            return false;
        }
        *eventIndexPtr = e;
        return true;
    }
    return false;
}
