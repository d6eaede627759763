#include "le_msg.h"
#include "le_event.h"
#include "le_log.h"
#include "le_utf8.h"
#include "pa_path.h"
#include "pa_socket.h"

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

// Wire format. Handshake from the client: "VMSG", u32 id length, id, u32 largest message size;
// the server answers one byte (0 accepted, 1 refused, 2 too many sessions; the last may come
// before the client has spoken). Then frames: u32 payload length, u32 kind, u32 transaction,
// payload.
namespace
{
const char HandshakeMagic[4] = {'V', 'M', 'S', 'G'};
enum FrameKind : uint32_t
{
    KIND_REQUEST = 1,    // the sender waits for a response
    KIND_ONE_WAY = 2,
    KIND_RESPONSE = 3,
    KIND_EVENT = 4       // from the server, unsolicited
};
const size_t FrameHeaderSize = 12;
const size_t MaxPendingOutput = 8u * 1024u * 1024u;
const int HandshakeTimeoutMs = 5000;
std::atomic<int> CallTimeoutMs{-1};
thread_local bool CallTimedOut = false;
std::atomic<int> ClientHandshakeMs{HandshakeTimeoutMs};   // how long a client waits for the answer    // a client that has not finished its handshake by then is closed
const int ListenBacklog = 128;          // holds a burst of clients connecting at once
const uint32_t AcceptRetryMs = 500;     // listening pauses this long when a client cannot be accepted
enum HandshakeAnswer : uint8_t
{
    HANDSHAKE_ACCEPTED = 0,
    HANDSHAKE_REFUSED = 1,
    HANDSHAKE_BUSY = 2
};
}

struct le_msg_Protocol
{
    char id[LE_MSG_PROTOCOL_ID_MAX];
    size_t maxSize;
};

struct SessionHandler
{
    le_msg_SessionEventHandler_t func;
    void* ctx;
};

struct le_msg_Service
{
    le_msg_Protocol* protocol;
    char name[LE_MSG_SERVICE_NAME_MAX];
    char socketPath[PA_PATH_MAX];
    le_msg_ReceiveHandler_t recvHandler = nullptr;
    void* recvContext = nullptr;
    std::vector<SessionHandler> openHandlers;
    std::vector<SessionHandler> closeHandlers;
    int listenFd = -1;
    le_fdMonitor_Ref_t monitor = nullptr;
    le_timer_Ref_t acceptRetry = nullptr;
    std::set<le_msg_Session*> sessions;
};

struct le_msg_Session
{
    bool isServer;
    le_msg_Service* service = nullptr;    // server side
    le_msg_Protocol* protocol;
    char serviceName[LE_MSG_SERVICE_NAME_MAX];
    int fd = -1;
    le_fdMonitor_Ref_t monitor = nullptr;
    le_timer_Ref_t handshakeTimer = nullptr;   // server side, until the handshake is done
    bool open = false;
    bool handshakeDone = false;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    uint32_t nextTxn = 1;
    le_msg_ReceiveHandler_t recvHandler = nullptr;   // client side
    void* recvContext = nullptr;
    le_msg_SessionEventHandler_t closeHandler = nullptr;
    void* closeContext = nullptr;
    bool deleteRequested = false;
    int holds = 0;   // client side: queued loop callbacks and running dispatches that still use it
    int liveMessages = 0;      // server side: messages that still name this session
    bool closedForGood = false;   // server side: freed when its last message is released
};

struct le_msg_Message
{
    le_msg_Session* session;
    std::vector<uint8_t> payload;
    size_t size = 0;
    uint32_t txn = 0;
    bool needsResponse = false;
    bool serverSide = false;   // counted in its session's liveMessages
};

namespace
{
std::mutex ProtocolMutex;
std::vector<le_msg_Protocol*> Protocols;
std::string ServiceDir;

std::string DefaultServiceDir()
{
    char dir[PA_PATH_MAX];
    if (!pa_path_DefaultRuntimeDir(dir, sizeof(dir))) return "/tmp/veltrona-services";
    return std::string(dir) + "/services";
}

bool SocketPathFor(const char* name, char* out, size_t outSize)
{
    if (ServiceDir.empty()) ServiceDir = DefaultServiceDir();
    char joined[PA_PATH_MAX];
    return pa_path_Join(ServiceDir.c_str(), name, joined, sizeof(joined)) &&
           le_utf8_Copy(out, joined, outSize, nullptr) == LE_OK;
}

bool FillAddress(const char* path, struct sockaddr_un* addr)
{
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    return le_utf8_Copy(addr->sun_path, path, sizeof(addr->sun_path), nullptr) == LE_OK;
}

void PutU32(std::vector<uint8_t>& v, uint32_t x)
{
    uint8_t b[4];
    memcpy(b, &x, 4);
    v.insert(v.end(), b, b + 4);
}

uint32_t GetU32(const uint8_t* p)
{
    uint32_t x;
    memcpy(&x, p, 4);
    return x;
}

void AppendFrame(std::vector<uint8_t>& out, uint32_t kind, uint32_t txn, const uint8_t* payload, size_t size)
{
    PutU32(out, static_cast<uint32_t>(size));
    PutU32(out, kind);
    PutU32(out, txn);
    out.insert(out.end(), payload, payload + size);
}

// Reads what is available without blocking; false on end of stream or error.
bool ReadAvailable(le_msg_Session* s)
{
    uint8_t buf[65536];
    for (;;)
    {
        ssize_t n = recv(s->fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0)
        {
            s->in.insert(s->in.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
}

struct Frame
{
    uint32_t kind;
    uint32_t txn;
    std::vector<uint8_t> payload;
};

// 1: a frame was taken; 0: incomplete; -1: too large for the protocol.
int TakeFrame(le_msg_Session* s, Frame* frame)
{
    if (s->in.size() < FrameHeaderSize) return 0;
    uint32_t len = GetU32(s->in.data());
    if (len > s->protocol->maxSize) return -1;
    if (s->in.size() < FrameHeaderSize + len) return 0;
    frame->kind = GetU32(s->in.data() + 4);
    frame->txn = GetU32(s->in.data() + 8);
    frame->payload.assign(s->in.begin() + FrameHeaderSize, s->in.begin() + FrameHeaderSize + len);
    s->in.erase(s->in.begin(), s->in.begin() + FrameHeaderSize + len);
    return 1;
}

le_msg_MessageRef_t NewMessage(le_msg_Session* s)
{
    auto* m = new le_msg_Message();
    m->session = s;
    if (s->isServer)
    {
        m->serverSide = true;
        s->liveMessages++;
    }
    return m;
}

le_msg_MessageRef_t MessageFromFrame(le_msg_Session* s, Frame& frame)
{
    le_msg_MessageRef_t m = NewMessage(s);
    m->size = frame.payload.size();
    m->payload = std::move(frame.payload);   // as large as what came, not as the largest message
    m->txn = frame.txn;
    m->needsResponse = (frame.kind == KIND_REQUEST);
    return m;
}

// A closed server session lives on while a handler still holds one of its messages (a response
// given later goes nowhere); the last release frees it.
void FreeSessionLater(void* p1, void*)
{
    auto* s = static_cast<le_msg_Session*>(p1);
    s->closedForGood = true;
    if (s->liveMessages == 0) delete s;
}

void StopHandshakeTimer(le_msg_Session* s)
{
    if (s->handshakeTimer) le_timer_Delete(s->handshakeTimer);
    s->handshakeTimer = nullptr;
}

void ServerCloseSession(le_msg_Session* s, const char* reason)
{
    if (!s->open) return;
    s->open = false;
    if (reason) LE_INFO("Service %s: closing session (%s)", s->service->name, reason);
    StopHandshakeTimer(s);
    if (s->monitor) le_fdMonitor_Delete(s->monitor);
    s->monitor = nullptr;
    close(s->fd);
    s->fd = -1;
    le_msg_Service* svc = s->service;
    svc->sessions.erase(s);
    for (const auto& h : std::vector<SessionHandler>(svc->closeHandlers))
    {
        h.func(s, h.ctx);
    }
    // Messages of this session may still be on the stack: free the record later.
    le_event_QueueFunction(FreeSessionLater, s, nullptr);
}

void FlushOutput(le_msg_Session* s)
{
    while (!s->out.empty())
    {
        ssize_t n = send(s->fd, s->out.data(), s->out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
        {
            s->out.erase(s->out.begin(), s->out.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        {
            le_fdMonitor_Enable(s->monitor, POLLOUT);
            return;
        }
        ServerCloseSession(s, "peer gone");
        return;
    }
    if (s->monitor) le_fdMonitor_Disable(s->monitor, POLLOUT);
}

void ServerQueueFrame(le_msg_Session* s, uint32_t kind, uint32_t txn, const uint8_t* payload, size_t size)
{
    if (!s->open) return;
    if (s->out.size() + size > MaxPendingOutput)
    {
        ServerCloseSession(s, "client does not read its messages");
        return;
    }
    AppendFrame(s->out, kind, txn, payload, size);
    FlushOutput(s);
}

bool ServerHandshake(le_msg_Session* s)
{
    const size_t fixed = 8;
    if (s->in.size() < fixed) return false;
    if (memcmp(s->in.data(), HandshakeMagic, 4) != 0)
    {
        ServerCloseSession(s, "not a client of this runtime");
        return false;
    }
    uint32_t idLen = GetU32(s->in.data() + 4);
    if (idLen >= LE_MSG_PROTOCOL_ID_MAX)
    {
        ServerCloseSession(s, "protocol identifier too long");
        return false;
    }
    if (s->in.size() < fixed + idLen + 4) return false;
    std::string id(reinterpret_cast<const char*>(s->in.data() + fixed), idLen);
    uint32_t maxSize = GetU32(s->in.data() + fixed + idLen);
    s->in.erase(s->in.begin(), s->in.begin() + fixed + idLen + 4);
    if (id != s->protocol->id || maxSize != s->protocol->maxSize)
    {
        LE_ERROR("Service %s: client protocol '%s' (%u bytes) does not match '%s' (%zu bytes)", s->service->name,
                 id.c_str(), maxSize, s->protocol->id, s->protocol->maxSize);
        uint8_t refused = HANDSHAKE_REFUSED;
        if (send(s->fd, &refused, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1)
        {
            // The client will see the close either way.
        }
        ServerCloseSession(s, nullptr);
        return false;
    }
    s->out.push_back(HANDSHAKE_ACCEPTED);
    s->handshakeDone = true;
    StopHandshakeTimer(s);
    FlushOutput(s);
    if (!s->open) return false;
    for (const auto& h : std::vector<SessionHandler>(s->service->openHandlers))
    {
        h.func(s, h.ctx);
    }
    return s->open;
}

void ServerSessionHandler(int fd, short events)
{
    LE_UNUSED(fd);
    auto* s = static_cast<le_msg_Session*>(le_fdMonitor_GetContextPtr());
    if (s == nullptr || !s->open) return;
    if (events & POLLOUT)
    {
        FlushOutput(s);
        if (!s->open) return;
    }
    if (!(events & (POLLIN | POLLHUP | POLLERR))) return;
    bool alive = ReadAvailable(s);
    if (!s->handshakeDone && !ServerHandshake(s))
    {
        if (s->open && !alive) ServerCloseSession(s, nullptr);
        return;
    }
    for (;;)
    {
        Frame frame;
        int r = TakeFrame(s, &frame);
        if (r < 0)
        {
            LE_ERROR("Service %s: message larger than %zu bytes", s->service->name, s->protocol->maxSize);
            ServerCloseSession(s, "message too large");
            return;
        }
        if (r == 0) break;
        if (frame.kind != KIND_REQUEST && frame.kind != KIND_ONE_WAY)
        {
            ServerCloseSession(s, "unexpected message kind");
            return;
        }
        le_msg_MessageRef_t msg = MessageFromFrame(s, frame);
        if (s->service->recvHandler)
        {
            s->service->recvHandler(msg, s->service->recvContext);
        }
        else
        {
            le_msg_ReleaseMsg(msg);
        }
        if (!s->open) return;
    }
    if (!alive) ServerCloseSession(s, nullptr);
}

void HandshakeTimedOut(le_timer_Ref_t timer)
{
    ServerCloseSession(static_cast<le_msg_Session*>(le_timer_GetContextPtr(timer)), "no handshake within 5 s");
}

void ListenAgain(le_timer_Ref_t timer)
{
    auto* svc = static_cast<le_msg_Service*>(le_timer_GetContextPtr(timer));
    if (svc->monitor) le_fdMonitor_Enable(svc->monitor, POLLIN);
}

void ListenHandler(int fd, short events)
{
    LE_UNUSED(events);
    auto* svc = static_cast<le_msg_Service*>(le_fdMonitor_GetContextPtr());
    for (;;)
    {
        int cfd = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (cfd < 0)
        {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // Out of descriptors or memory: the client stays in the backlog, and listening pauses
            // rather than waking the loop again at once for the same failure.
            LE_ERROR("Service %s: cannot accept a client (%s); listening again in %u ms", svc->name, strerror(errno),
                     AcceptRetryMs);
            le_fdMonitor_Disable(svc->monitor, POLLIN);
            le_timer_Start(svc->acceptRetry);
            return;
        }
        if (svc->sessions.size() >= LE_MSG_MAX_SESSIONS)
        {
            LE_ERROR("Service %s: client refused: %zu sessions are open, the most it serves", svc->name,
                     svc->sessions.size());
            uint8_t busy = HANDSHAKE_BUSY;
            if (send(cfd, &busy, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1)
            {
                // The client sees the close instead.
            }
            close(cfd);
            continue;
        }
        auto* s = new le_msg_Session();
        s->isServer = true;
        s->service = svc;
        s->protocol = svc->protocol;
        snprintf(s->serviceName, sizeof(s->serviceName), "%s", svc->name);
        s->fd = cfd;
        s->open = true;
        s->monitor = le_fdMonitor_Create(svc->name, cfd, ServerSessionHandler, POLLIN);
        le_fdMonitor_SetContextPtr(s->monitor, s);
        s->handshakeTimer = le_timer_Create("IpcHandshake");
        le_timer_SetMsInterval(s->handshakeTimer, HandshakeTimeoutMs);
        le_timer_SetContextPtr(s->handshakeTimer, s);
        le_timer_SetHandler(s->handshakeTimer, HandshakeTimedOut);
        le_timer_Start(s->handshakeTimer);
        svc->sessions.insert(s);
    }
}

//--------------------------------------------------------------------------------------------------
// Client side
//--------------------------------------------------------------------------------------------------
void ClientMarkClosed(le_msg_Session* s);

// A client session is held by every queued callback and every dispatch that still uses it: a
// handler may delete the session it was called for, and the last release frees it.
void ClientHold(le_msg_Session* s)
{
    s->holds++;
}

void ClientRelease(le_msg_Session* s)
{
    if (--s->holds == 0 && s->deleteRequested) delete s;
}

void ClientQueue(le_msg_Session* s, le_event_DeferredFunc_t func, void* param1)
{
    ClientHold(s);
    le_event_QueueFunction(func, param1, nullptr);
}

void ClientCloseHandlerLater(void* p1, void*)
{
    auto* s = static_cast<le_msg_Session*>(p1);
    if (!s->deleteRequested && s->closeHandler) s->closeHandler(s, s->closeContext);
    ClientRelease(s);
}

// Stops listening and closes the socket; false when the session was already closed.
bool ClientShutDown(le_msg_Session* s)
{
    if (!s->open) return false;
    s->open = false;
    if (s->monitor) le_fdMonitor_Delete(s->monitor);
    s->monitor = nullptr;
    close(s->fd);
    s->fd = -1;
    return true;
}

// The server or the connection ended the session: the client's close handler is told.
void ClientMarkClosed(le_msg_Session* s)
{
    if (ClientShutDown(s)) ClientQueue(s, ClientCloseHandlerLater, s);
}

void DeliverEvent(le_msg_Session* s, Frame& frame)
{
    le_msg_MessageRef_t msg = MessageFromFrame(s, frame);
    if (s->recvHandler)
    {
        s->recvHandler(msg, s->recvContext);
    }
    else
    {
        le_msg_ReleaseMsg(msg);
    }
}

// Events that arrived while a synchronous request waited are delivered from the loop.
struct PendingEvent
{
    le_msg_Session* session;
    Frame frame;
};

void DeliverPendingLater(void* p1, void*)
{
    auto* pending = static_cast<PendingEvent*>(p1);
    le_msg_Session* s = pending->session;
    if (!s->deleteRequested) DeliverEvent(s, pending->frame);
    delete pending;
    ClientRelease(s);
}

void CloseOnOversizedFrame(le_msg_Session* s)
{
    LE_ERROR("Session %s: message from the server too large", s->serviceName);
    ClientMarkClosed(s);
}

// Takes every complete frame read so far while a synchronous request waits: events go to the loop
// in arrival order, the answer to txn (when among them) to *answer. Events read together with the
// answer must not stay in the buffer, where nothing would look at them before more data came.
void TakeFramesDuringCall(le_msg_Session* s, uint32_t txn, le_msg_MessageRef_t* answer)
{
    Frame frame;
    int r;
    while ((r = TakeFrame(s, &frame)) == 1)
    {
        if (frame.kind == KIND_RESPONSE && frame.txn == txn && *answer == nullptr)
        {
            *answer = MessageFromFrame(s, frame);
        }
        else if (frame.kind == KIND_EVENT)
        {
            ClientQueue(s, DeliverPendingLater, new PendingEvent{s, std::move(frame)});
        }
        frame = Frame();
    }
    if (r < 0) CloseOnOversizedFrame(s);
}

void ClientHandler(int fd, short events)
{
    LE_UNUSED(fd);
    LE_UNUSED(events);
    auto* s = static_cast<le_msg_Session*>(le_fdMonitor_GetContextPtr());
    if (s == nullptr || !s->open) return;
    ClientHold(s);
    bool alive = ReadAvailable(s);
    for (;;)
    {
        Frame frame;
        int r = TakeFrame(s, &frame);
        if (r < 0)
        {
            CloseOnOversizedFrame(s);
            break;
        }
        if (r == 0)
        {
            if (!alive) ClientMarkClosed(s);
            break;
        }
        if (frame.kind == KIND_EVENT) DeliverEvent(s, frame);
        if (!s->open) break;   // closed, perhaps deleted, by the handler
    }
    ClientRelease(s);
}

}

//--------------------------------------------------------------------------------------------------
// Public API
//--------------------------------------------------------------------------------------------------
le_result_t le_msg_SetServiceDirectory(const char* dir)
{
    if (dir == nullptr || strlen(dir) >= PA_PATH_MAX) return LE_OVERFLOW;
    if (pa_fs_MakeDirs(dir) != LE_OK) return LE_FAULT;
    ServiceDir = dir;
    return LE_OK;
}

const char* le_msg_GetServiceDirectory(void)
{
    if (ServiceDir.empty()) ServiceDir = DefaultServiceDir();
    return ServiceDir.c_str();
}

le_msg_ProtocolRef_t le_msg_GetProtocolRef(const char* protocolId, size_t largestMsgSize)
{
    std::lock_guard<std::mutex> lock(ProtocolMutex);
    for (le_msg_Protocol* p : Protocols)
    {
        if (strcmp(p->id, protocolId) == 0 && p->maxSize == largestMsgSize) return p;
    }
    auto* p = new le_msg_Protocol();
    le_utf8_Copy(p->id, protocolId, sizeof(p->id), nullptr);
    p->maxSize = largestMsgSize;
    Protocols.push_back(p);
    return p;
}

const char* le_msg_GetProtocolIdStr(le_msg_ProtocolRef_t protocolRef)
{
    return protocolRef->id;
}

size_t le_msg_GetProtocolMaxMsgSize(le_msg_ProtocolRef_t protocolRef)
{
    return protocolRef->maxSize;
}

le_msg_ServiceRef_t le_msg_CreateService(le_msg_ProtocolRef_t protocolRef, const char* serviceName)
{
    auto* svc = new le_msg_Service();
    svc->protocol = protocolRef;
    le_utf8_Copy(svc->name, serviceName, sizeof(svc->name), nullptr);
    return svc;
}

void le_msg_SetServiceRecvHandler(le_msg_ServiceRef_t serviceRef, le_msg_ReceiveHandler_t handler, void* contextPtr)
{
    serviceRef->recvHandler = handler;
    serviceRef->recvContext = contextPtr;
}

void le_msg_AddServiceOpenHandler(le_msg_ServiceRef_t serviceRef, le_msg_SessionEventHandler_t handler,
                                  void* contextPtr)
{
    serviceRef->openHandlers.push_back({handler, contextPtr});
}

void le_msg_AddServiceCloseHandler(le_msg_ServiceRef_t serviceRef, le_msg_SessionEventHandler_t handler,
                                   void* contextPtr)
{
    serviceRef->closeHandlers.push_back({handler, contextPtr});
}

le_result_t le_msg_AdvertiseService(le_msg_ServiceRef_t svc)
{
    if (svc->listenFd >= 0) return LE_OK;
    struct sockaddr_un addr;   // the path must fit a socket address
    if (!SocketPathFor(svc->name, svc->socketPath, sizeof(svc->socketPath)) || !FillAddress(svc->socketPath, &addr))
    {
        LE_ERROR("Service %s: socket path too long", svc->name);
        return LE_FAULT;
    }
    pa_fs_MakeDirs(le_msg_GetServiceDirectory());
    int fd = pa_socket_ListenUnix(svc->socketPath, ListenBacklog);
    if (fd < 0)
    {
        LE_ERROR("Service %s: cannot listen on %s: %s", svc->name, svc->socketPath, strerror(errno));
        return LE_FAULT;
    }
    svc->listenFd = fd;
    svc->monitor = le_fdMonitor_Create(svc->name, fd, ListenHandler, POLLIN);
    le_fdMonitor_SetContextPtr(svc->monitor, svc);
    if (svc->acceptRetry == nullptr)
    {
        svc->acceptRetry = le_timer_Create("IpcAcceptRetry");
        le_timer_SetMsInterval(svc->acceptRetry, AcceptRetryMs);
        le_timer_SetContextPtr(svc->acceptRetry, svc);
        le_timer_SetHandler(svc->acceptRetry, ListenAgain);
    }
    return LE_OK;
}

void le_msg_HideService(le_msg_ServiceRef_t svc)
{
    if (svc->listenFd < 0) return;
    le_timer_Stop(svc->acceptRetry);
    le_fdMonitor_Delete(svc->monitor);
    svc->monitor = nullptr;
    close(svc->listenFd);
    svc->listenFd = -1;
    unlink(svc->socketPath);
}

le_msg_ServiceRef_t le_msg_GetSessionService(le_msg_SessionRef_t sessionRef)
{
    return sessionRef ? sessionRef->service : nullptr;
}

size_t le_msg_GetSessionCount(le_msg_ServiceRef_t serviceRef)
{
    return serviceRef->sessions.size();
}

le_msg_SessionRef_t le_msg_CreateSession(le_msg_ProtocolRef_t protocolRef, const char* serviceName)
{
    auto* s = new le_msg_Session();
    s->isServer = false;
    s->protocol = protocolRef;
    le_utf8_Copy(s->serviceName, serviceName, sizeof(s->serviceName), nullptr);
    return s;
}

void le_msg_SetCallTimeout(int ms)
{
    CallTimeoutMs = ms;
}

bool le_msg_LastCallTimedOut(void)
{
    return CallTimedOut;
}

void le_msg_SetHandshakeWait(int ms)
{
    ClientHandshakeMs = ms < 1 ? 1 : (ms > HandshakeTimeoutMs ? HandshakeTimeoutMs : ms);
}

le_result_t le_msg_TryOpenSessionSync(le_msg_SessionRef_t s)
{
    if (s->open) return LE_OK;
    char path[PA_PATH_MAX];
    struct sockaddr_un addr;
    if (!SocketPathFor(s->serviceName, path, sizeof(path)) || !FillAddress(path, &addr)) return LE_UNAVAILABLE;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return LE_UNAVAILABLE;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        close(fd);
        return LE_UNAVAILABLE;
    }
    std::vector<uint8_t> hello(HandshakeMagic, HandshakeMagic + 4);
    size_t idLen = strlen(s->protocol->id);
    PutU32(hello, static_cast<uint32_t>(idLen));
    hello.insert(hello.end(), s->protocol->id, s->protocol->id + idLen);
    PutU32(hello, static_cast<uint32_t>(s->protocol->maxSize));
    // The answer is read even when the hello could not be sent: a busy server answers at once
    // and closes.
    uint8_t status = HANDSHAKE_REFUSED;
    struct pollfd p = {fd, POLLIN, 0};
    bool sent = pa_socket_SendAll(fd, hello.data(), hello.size());
    if (poll(&p, 1, ClientHandshakeMs.load()) != 1)
    {
        // No answer in time: the server is busy (a program still starting up), not refusing.
        close(fd);
        return LE_TIMEOUT;
    }
    if (recv(fd, &status, 1, 0) != 1 || status != HANDSHAKE_ACCEPTED || !sent)
    {
        close(fd);
        return status == HANDSHAKE_BUSY ? LE_BUSY : LE_NOT_PERMITTED;
    }
    s->fd = fd;
    s->open = true;
    s->in.clear();
    s->monitor = le_fdMonitor_Create(s->serviceName, fd, ClientHandler, POLLIN);
    le_fdMonitor_SetContextPtr(s->monitor, s);
    return LE_OK;
}

void le_msg_SetSessionRecvHandler(le_msg_SessionRef_t s, le_msg_ReceiveHandler_t handler, void* contextPtr)
{
    s->recvHandler = handler;
    s->recvContext = contextPtr;
}

void le_msg_SetSessionCloseHandler(le_msg_SessionRef_t s, le_msg_SessionEventHandler_t handler, void* contextPtr)
{
    s->closeHandler = handler;
    s->closeContext = contextPtr;
}

void le_msg_CloseSession(le_msg_SessionRef_t s)
{
    if (s == nullptr) return;
    if (s->isServer)
    {
        ServerCloseSession(s, nullptr);
        return;
    }
    ClientShutDown(s);   // closed by the client itself: its close handler is not called
}

void le_msg_DeleteSession(le_msg_SessionRef_t s)
{
    if (s == nullptr || s->isServer) return;
    le_msg_CloseSession(s);
    // Queued close notices or events, or a dispatch under way, may still use the session: the
    // last of them frees it.
    s->deleteRequested = true;
    if (s->holds == 0) delete s;
}

bool le_msg_IsSessionOpen(le_msg_SessionRef_t s)
{
    return s && s->open;
}

le_msg_MessageRef_t le_msg_CreateMsg(le_msg_SessionRef_t s)
{
    return le_msg_CreateSizedMsg(s, s->protocol->maxSize);
}

le_msg_MessageRef_t le_msg_CreateSizedMsg(le_msg_SessionRef_t s, size_t size)
{
    if (size > s->protocol->maxSize) return nullptr;
    le_msg_MessageRef_t m = NewMessage(s);
    m->payload.assign(size, 0);
    return m;
}

bool le_msg_ReservePayload(le_msg_MessageRef_t msgRef, size_t size)
{
    if (size > msgRef->session->protocol->maxSize) return false;
    if (size > msgRef->payload.size()) msgRef->payload.resize(size, 0);
    return true;
}

void le_msg_ReleaseMsg(le_msg_MessageRef_t msgRef)
{
    if (msgRef == nullptr) return;
    le_msg_Session* s = msgRef->serverSide ? msgRef->session : nullptr;
    delete msgRef;
    if (s && --s->liveMessages == 0 && s->closedForGood) delete s;
}

void* le_msg_GetPayloadPtr(le_msg_MessageRef_t msgRef)
{
    return msgRef->payload.data();
}

size_t le_msg_GetMaxPayloadSize(le_msg_MessageRef_t msgRef)
{
    return msgRef->payload.size();
}

size_t le_msg_GetPayloadSize(le_msg_MessageRef_t msgRef)
{
    return msgRef->size;
}

void le_msg_SetPayloadSize(le_msg_MessageRef_t msgRef, size_t size)
{
    msgRef->size = size < msgRef->payload.size() ? size : msgRef->payload.size();
}

le_msg_SessionRef_t le_msg_GetSession(le_msg_MessageRef_t msgRef)
{
    return msgRef->session;
}

bool le_msg_NeedsResponse(le_msg_MessageRef_t msgRef)
{
    return msgRef->needsResponse;
}

void le_msg_Send(le_msg_MessageRef_t msgRef)
{
    le_msg_Session* s = msgRef->session;
    if (s->isServer)
    {
        ServerQueueFrame(s, KIND_EVENT, 0, msgRef->payload.data(), msgRef->size);
    }
    else if (s->open)
    {
        std::vector<uint8_t> frame;
        AppendFrame(frame, KIND_ONE_WAY, 0, msgRef->payload.data(), msgRef->size);
        if (!pa_socket_SendAll(s->fd, frame.data(), frame.size())) ClientMarkClosed(s);
    }
    le_msg_ReleaseMsg(msgRef);
}

void le_msg_Respond(le_msg_MessageRef_t msgRef)
{
    le_msg_Session* s = msgRef->session;
    if (s->isServer && msgRef->needsResponse)
    {
        ServerQueueFrame(s, KIND_RESPONSE, msgRef->txn, msgRef->payload.data(), msgRef->size);
    }
    le_msg_ReleaseMsg(msgRef);
}

le_msg_MessageRef_t le_msg_RequestSyncResponse(le_msg_MessageRef_t msgRef)
{
    le_msg_Session* s = msgRef->session;
    if (s->isServer || !s->open)
    {
        le_msg_ReleaseMsg(msgRef);
        return nullptr;
    }
    uint32_t txn = s->nextTxn++;
    std::vector<uint8_t> frame;
    AppendFrame(frame, KIND_REQUEST, txn, msgRef->payload.data(), msgRef->size);
    le_msg_ReleaseMsg(msgRef);
    if (!pa_socket_SendAll(s->fd, frame.data(), frame.size()))
    {
        ClientMarkClosed(s);
        return nullptr;
    }
    le_msg_MessageRef_t answer = nullptr;
    const int limitMs = CallTimeoutMs.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs < 0 ? 0 : limitMs);
    CallTimedOut = false;
    for (;;)
    {
        TakeFramesDuringCall(s, txn, &answer);
        if (answer != nullptr || !s->open) return answer;
        int waitMs = -1;
        if (limitMs >= 0)
        {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
            {
                LE_WARN("no answer from %s within %d ms; session closed", s->serviceName, limitMs);
                CallTimedOut = true;
                ClientMarkClosed(s);
                return nullptr;
            }
            waitMs = static_cast<int>(left.count());
        }
        struct pollfd p = {s->fd, POLLIN, 0};
        int n = poll(&p, 1, waitMs);
        if (n == 0 || (n < 0 && errno == EINTR)) continue;
        if (n < 0 || !ReadAvailable(s))
        {
            // Frames already read may still hold the answer.
            TakeFramesDuringCall(s, txn, &answer);
            ClientMarkClosed(s);
            return answer;
        }
    }
}
