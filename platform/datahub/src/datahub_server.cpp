// Admin socket of the Data Hub. One line per request, tab-separated fields, values escaped:
//   LIST                 -> one "RES <path> <kind> <type> <units> <state> <value> <timestamp>" line per
//                           resource, then "END"
//   GET <path>           -> "OK <type> <timestamp> <state> <value> <kind> <units>" or "ERR <reason>"
//   PUSH <path> [value]  -> "OK", "NOTKEPT <reason>" (applied, not kept across a restart) or "ERR <reason>"
//   WATCH [prefix]       -> "OK", then one "PUSH <path> <type> <timestamp> <value> <kind> <units>" line per push
#include "datahub_admin.h"
#include "le_clock.h"
#include "le_log.h"
#include "le_utf8.h"
#include "pa_socket.h"
#include "pa_text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
const size_t MaxRequestLine = DHUB_TEXT_MAX + IO_MAX_RESOURCE_PATH_LEN + 32;
const size_t MaxAdminClients = 64;
// Answers and watch lines a client may leave unread; one answer is always taken whole, however large.
const size_t MaxClientOutput = 1024u * 1024u;
const int ListenBacklog = 128;
const uint64_t AcceptRetryMs = 500;   // accepting pauses this long when a client cannot be accepted

struct Connection
{
    explicit Connection(int f) : fd(f) {}
    int fd;
    std::string in;
    void* watch = nullptr;
    std::mutex outMutex;   // watch lines are queued from the pushing threads
    std::string out;       // not yet sent
    std::atomic<bool> broken{false};
};

std::thread ServerThread;
std::atomic<bool> ServerRunning{false};
int ListenFd = -1;
int StopPipe[2] = {-1, -1};   // also wakes the server when output was queued from another thread
std::atomic<bool> WakePending{false};
std::string SocketPath;


void Wake()
{
    if (WakePending.exchange(true)) return;
    char byte = 1;
    if (write(StopPipe[1], &byte, 1) != 1)
    {
        // The server still looks again at its next poll timeout.
    }
}

// Queues text for the client; a client that leaves more than the bound unread is given up.
bool Queue(Connection* c, const std::string& text)
{
    std::lock_guard<std::mutex> lock(c->outMutex);
    if (c->broken) return false;
    if (!c->out.empty() && c->out.size() + text.size() > MaxClientOutput)
    {
        LE_ERROR("Data Hub admin: a client that does not read its answers was closed (%zu bytes unread)",
                 c->out.size());
        c->broken = true;
        return false;
    }
    c->out += text;
    return true;
}

// Sends what the socket takes without waiting.
void Flush(Connection* c)
{
    std::lock_guard<std::mutex> lock(c->outMutex);
    size_t sent = 0;
    while (sent < c->out.size())
    {
        ssize_t n = send(c->fd, c->out.data() + sent, c->out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
        {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        c->broken = true;
        break;
    }
    c->out.erase(0, sent);
}

bool HasOutput(Connection* c)
{
    std::lock_guard<std::mutex> lock(c->outMutex);
    return !c->out.empty();
}

std::string Escaped(const char* text)
{
    // Each character takes two at most escaped: a buffer the size of the value, not of the largest.
    std::vector<char> buf(2 * strlen(text) + 1);
    if (!dhub_Escape(text, buf.data(), buf.size())) return "";
    return buf.data();
}

std::string FormatTime(double ts)
{
    char buf[48];
    snprintf(buf, sizeof(buf), "%.3f", ts);
    return buf;
}

const char* KindName(dhub_Kind_t kind)
{
    switch (kind)
    {
        case DHUB_KIND_INPUT: return "input";
        case DHUB_KIND_OUTPUT: return "output";
        default: return "placeholder";
    }
}

const char* StateName(const dhub_ResourceInfo_t& info)
{
    return !info.hasValue ? "none" : (info.isDefault ? "default" : "pushed");
}

// Runs on the pushing thread under the hub's lock; must not block. A watcher that does not keep
// up is dropped rather than stalling the hub.
void WatchLine(const char* path, io_DataType_t type, double timestamp, const char* value, void* ctx)
{
    auto* c = static_cast<Connection*>(ctx);
    if (c->broken) return;
    // The hub's lock is recursive: the resource's kind and units come from the pushing thread too.
    dhub_ResourceInfo_t info;
    bool known = dhub_GetInfo(path, &info, nullptr, 0) != LE_NOT_FOUND;
    std::string line = std::string("PUSH\t") + path + "\t" + dhub_TypeName(type) + "\t" + FormatTime(timestamp) +
                       "\t" + Escaped(value) + "\t" + (known ? KindName(info.kind) : "") + "\t" +
                       (known ? info.units : "") + "\n";
    Queue(c, line);
    Wake();
}

void Serve(Connection* c, const std::string& line)
{
    std::string answer;
    if (dhub_AnswerRequest(line.c_str(), &answer))
    {
        Queue(c, answer);
        return;
    }
    // WATCH [prefix]: the connection's own, once.
    std::vector<std::string> fields = pa_text_Split(line, '\t');
    if (fields[0] == "WATCH" && fields.size() <= 2 && c->watch == nullptr)
    {
        if (Queue(c, "OK\n")) c->watch = dhub_AddWatch(fields.size() == 2 ? fields[1].c_str() : "", WatchLine, c);
    }
    else
    {
        Queue(c, "ERR\tunknown request\n");
    }
}
}

namespace
{
// What a push needs, in words that name the resource.
std::string Expected(const std::string& path, io_DataType_t type)
{
    switch (type)
    {
        case IO_DATA_TYPE_BOOLEAN: return path + " is a boolean output: push true or false";
        case IO_DATA_TYPE_NUMERIC: return path + " is a numeric output: push a number";
        case IO_DATA_TYPE_JSON: return path + " is a JSON output: push a JSON value";
        default: return path + " is a string output: push a text";
    }
}

// The answer to "PUSH path [escaped value]".
std::string PushAnswer(const std::string& path, const std::string* escaped)
{
    std::vector<char> value(IO_MAX_STRING_VALUE_LEN + 2);
    if (escaped != nullptr && !dhub_Unescape(escaped->c_str(), value.data(), value.size()))
    {
        return "ERR\tbadly escaped or too long value\n";
    }
    std::string reason;
    le_result_t r = dhub_CheckedPush(path.c_str(), escaped != nullptr ? value.data() : nullptr, &reason);
    if (r == LE_OK) return "OK\n";
    return (r == LE_IO_ERROR ? "NOTKEPT\t" : "ERR\t") + reason + "\n";
}
}

const char* const dhub_NotKeptReason = "applied, but the settings file could not be written: lost at the next restart";

le_result_t dhub_CheckedPush(const char* path, const char* value, std::string* reason, uint64_t* keepVersion)
{
    std::string p = path ? path : "";
    reason->clear();
    // What an output's type takes; anything that is not an output is refused by the push itself.
    dhub_ResourceInfo_t info;
    bool output = dhub_GetInfo(p.c_str(), &info, nullptr, 0) != LE_NOT_FOUND && info.kind == DHUB_KIND_OUTPUT;
    bool trigger = output && info.dataType == IO_DATA_TYPE_TRIGGER;
    if (trigger && value != nullptr)
    {
        *reason = p + " is a trigger: push it without a value";
        return LE_BAD_PARAMETER;
    }
    if (output && !trigger && value == nullptr && info.dataType != IO_DATA_TYPE_STRING)
    {
        *reason = Expected(p, info.dataType);
        return LE_BAD_PARAMETER;
    }
    le_result_t r = keepVersion != nullptr ? dhub_AdminApply(p.c_str(), value != nullptr ? value : "", keepVersion)
                                           : dhub_AdminPush(p.c_str(), value != nullptr ? value : "");
    switch (r)
    {
        case LE_OK: break;
        case LE_IO_ERROR: *reason = dhub_NotKeptReason; break;
        case LE_NOT_FOUND: *reason = "no such resource: " + p; break;
        case LE_NOT_PERMITTED: *reason = p + " is an input: only the gateway pushes to it"; break;
        case LE_FORMAT_ERROR: *reason = Expected(p, info.dataType) + ", not '" + Escaped(value ? value : "") + "'"; break;
        case LE_OVERFLOW: *reason = "value too long for " + p; break;
        default: *reason = LE_RESULT_TXT(r); break;
    }
    return r;
}

bool dhub_AnswerRequest(const char* line, std::string* answer)
{
    std::vector<std::string> fields = pa_text_Split(line, '\t');
    const std::string& cmd = fields[0];
    if (cmd == "LIST")
    {
        answer->clear();
        dhub_ForEach(
            [](const dhub_ResourceInfo_t* info, const char* value, void* ctx) {
                *static_cast<std::string*>(ctx) += std::string("RES\t") + info->path + "\t" + KindName(info->kind) +
                                                   "\t" + dhub_TypeName(info->dataType) + "\t" + info->units + "\t" +
                                                   StateName(*info) + "\t" + Escaped(value) + "\t" +
                                                   FormatTime(info->timestamp) + "\n";
            },
            answer);
        *answer += "END\n";
    }
    else if (cmd == "GET" && fields.size() == 2)
    {
        dhub_ResourceInfo_t info;
        std::vector<char> value(IO_MAX_STRING_VALUE_LEN + 1);
        le_result_t r = dhub_GetInfo(fields[1].c_str(), &info, value.data(), value.size());
        if (r == LE_NOT_FOUND || (r == LE_OK && info.kind == DHUB_KIND_PLACEHOLDER) ||
            (r == LE_UNAVAILABLE && info.kind == DHUB_KIND_PLACEHOLDER))
        {
            *answer = "ERR\tno such resource\n";
            return true;
        }
        if (r == LE_UNAVAILABLE) value[0] = '\0';
        *answer = std::string("OK\t") + dhub_TypeName(info.dataType) + "\t" + FormatTime(info.timestamp) + "\t" +
                  StateName(info) + "\t" + Escaped(value.data()) + "\t" + KindName(info.kind) + "\t" + info.units +
                  "\n";
    }
    else if (cmd == "PUSH" && (fields.size() == 2 || fields.size() == 3))
    {
        *answer = PushAnswer(fields[1], fields.size() == 3 ? &fields[2] : nullptr);
    }
    else
    {
        return false;
    }
    return true;
}

namespace
{
void CloseConnection(Connection* c)
{
    if (c->watch) dhub_RemoveWatch(c->watch);
    close(c->fd);
    delete c;
}

void Accept(std::vector<Connection*>* conns, uint64_t* pausedUntil)
{
    for (;;)
    {
        int cfd = accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (cfd < 0)
        {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // Out of descriptors or memory: the client waits in the backlog while accepting pauses.
            LE_ERROR("Data Hub admin: cannot accept a client (%s); accepting again in %u ms", strerror(errno),
                     static_cast<unsigned>(AcceptRetryMs));
            *pausedUntil = le_clk_RealMs() + AcceptRetryMs;
            return;
        }
        if (conns->size() >= MaxAdminClients)
        {
            LE_ERROR("Data Hub admin: client refused: %zu clients are connected, the most it serves", conns->size());
            static const char refusal[] = "ERR\ttoo many admin clients\n";
            if (send(cfd, refusal, sizeof(refusal) - 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
            {
                // It sees the close instead.
            }
            close(cfd);
            continue;
        }
        conns->push_back(new Connection(cfd));
    }
}

void ReadRequests(Connection* c)
{
    char buf[65536];
    ssize_t n = recv(c->fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0)
    {
        c->broken = true;
        return;
    }
    c->in.append(buf, static_cast<size_t>(n));
    size_t nl;
    while (!c->broken && (nl = c->in.find('\n')) != std::string::npos)
    {
        std::string line = c->in.substr(0, nl);
        c->in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Serve(c, line);
    }
    if (c->in.size() > MaxRequestLine)
    {
        Queue(c, "ERR\trequest too long\n");
        Flush(c);
        c->broken = true;
    }
}

void ServerMain()
{
    std::vector<Connection*> conns;
    uint64_t acceptPausedUntil = 0;
    while (ServerRunning)
    {
        std::vector<struct pollfd> fds;
        fds.push_back({StopPipe[0], POLLIN, 0});
        uint64_t now = le_clk_RealMs();
        bool listening = now >= acceptPausedUntil;
        fds.push_back({listening ? ListenFd : -1, POLLIN, 0});
        for (Connection* c : conns)
        {
            fds.push_back({c->fd, static_cast<short>(POLLIN | (HasOutput(c) ? POLLOUT : 0)), 0});
        }
        int timeout = listening ? 200 : static_cast<int>(std::min<uint64_t>(acceptPausedUntil - now, 200));
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
        if (fds[0].revents)
        {
            // Drained first, then cleared: a wake that lands in between writes a byte of its own,
            // which the next poll sees. Cleared first, such a wake would leave the flag set over an
            // empty pipe, and every later wake would wait for the poll's timeout.
            char drain[64];
            if (read(StopPipe[0], drain, sizeof(drain)) < 0)
            {
                // Nothing to drain: another look costs nothing.
            }
            WakePending = false;
            if (!ServerRunning) break;
        }
        if (fds[1].revents & POLLIN) Accept(&conns, &acceptPausedUntil);
        for (size_t i = 0; i + 2 < fds.size(); i++)
        {
            Connection* c = conns[i];
            if (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) ReadRequests(c);
        }
        // Everything queued meanwhile, by requests or by watches, goes out as far as it can.
        for (auto it = conns.begin(); it != conns.end();)
        {
            if (!(*it)->broken) Flush(*it);
            if ((*it)->broken)
            {
                CloseConnection(*it);
                it = conns.erase(it);
            }
            else
            {
                ++it;
            }
        }
    }
    for (Connection* c : conns) CloseConnection(c);
}
}

le_result_t dhub_StartAdminServer(const char* socketPath)
{
    if (ServerRunning) return LE_BUSY;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (le_utf8_Copy(addr.sun_path, socketPath, sizeof(addr.sun_path), nullptr) != LE_OK)
    {
        LE_ERROR("Data Hub admin socket path too long: %s", socketPath);
        return LE_FAULT;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return LE_FAULT;
    // A socket somebody still answers on belongs to another running program: leave it alone.
    // One nobody answers on is left over from an earlier run.
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0)
    {
        LE_ERROR("Data Hub admin socket %s is in use by another program", socketPath);
        close(fd);
        return LE_DUPLICATE;
    }
    close(fd);
    fd = pa_socket_ListenUnix(socketPath, ListenBacklog);
    if (fd < 0 || pipe2(StopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        LE_ERROR("Data Hub admin socket %s: %s", socketPath, strerror(errno));
        if (fd >= 0) close(fd);
        return LE_FAULT;
    }
    ListenFd = fd;
    SocketPath = socketPath;
    WakePending = false;   // the stop's wake-up may have found the thread gone, its pipe is new
    ServerRunning = true;
    ServerThread = std::thread(ServerMain);
    return LE_OK;
}

void dhub_StopAdminServer(void)
{
    if (!ServerRunning) return;
    ServerRunning = false;
    WakePending = false;
    Wake();   // and the thread ends at its next poll timeout anyway
    ServerThread.join();
    close(ListenFd);
    close(StopPipe[0]);
    close(StopPipe[1]);
    ListenFd = StopPipe[0] = StopPipe[1] = -1;
    unlink(SocketPath.c_str());
}
