#include "tool_support.h"
#include "datahub_admin.h"
#include "le_event.h"
#include "le_msg.h"
#include "pa_path.h"
#include "pa_socket.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

bool ParseHex(const std::string& text, std::vector<uint8_t>* out)
{
    std::string digits;
    for (char c : text)
    {
        if (isxdigit(static_cast<unsigned char>(c))) digits += c;
        else if (c != ' ' && c != ':' && c != ',' && c != '-') return false;
    }
    if (digits.size() % 2 != 0) return false;
    for (size_t i = 0; i < digits.size(); i += 2)
    {
        out->push_back(static_cast<uint8_t>(strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

void PrintHex(const uint8_t* data, size_t size, bool spaced)
{
    for (size_t i = 0; i < size; i++) printf(spaced && i > 0 ? " %02x" : "%02x", data[i]);
}

bool ParseCount(const char* text, long* out)
{
    char* end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || n < 0) return false;
    *out = n;
    return true;
}

bool ParseSeconds(const char* text, double* out)
{
    char* end = nullptr;
    double s = strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(s) || s < 0 || s > 4e6) return false;
    *out = s;
    return true;
}

bool UseServiceDirectory(const char* tool, const std::string& dir)
{
    if (dir.empty() || le_msg_SetServiceDirectory(dir.c_str()) == LE_OK) return true;
    fprintf(stderr, "%s: cannot use the service directory %s\n", tool, dir.c_str());
    return false;
}

namespace
{
double CallLimitS = 10.0;   // how long a call waits for its answer

void OnDeadline(le_timer_Ref_t)
{
    le_event_StopLoop(nullptr, 3);
}
}

int ConnectTool(const char* tool, const char* service, le_result_t (*tryConnect)(void), double timeout)
{
    double limit = timeout < 0 ? 30.0 : timeout;
    double deadline = NowSeconds() + limit;
    bool said = false;
    for (;;)
    {
        double left = deadline - NowSeconds();
        le_msg_SetHandshakeWait(left > 0 ? static_cast<int>(left * 1000) : 1);
        le_result_t r = tryConnect();
        le_msg_SetHandshakeWait(5000);
        if (r == LE_OK)
        {
            CallLimitS = timeout > 0 ? timeout : 10.0;
            le_msg_SetCallTimeout(static_cast<int>(std::min(CallLimitS * 1000.0, 2e9)));
            return 0;
        }
        if (r != LE_TIMEOUT)
        {
            const char* why = r == LE_NOT_PERMITTED ? "it refused the protocol"
                              : r == LE_BUSY        ? "it serves as many clients as it takes"
                                                    : "is veltrona running?";
            fprintf(stderr, "%s: cannot reach %s in %s (%s)\n", tool, service, le_msg_GetServiceDirectory(), why);
            return 2;
        }
        if (!said)
        {
            fprintf(stderr, "%s: waiting for %s (veltrona is starting up)\n", tool, service);
            said = true;
        }
        if (NowSeconds() >= deadline)
        {
            fprintf(stderr, "%s: %s did not answer within %g s\n", tool, service, limit);
            return 3;
        }
        usleep(200 * 1000);
    }
}

int CallFailure(const char* tool, const char* service, le_result_t r)
{
    if (r == LE_TIMEOUT)
    {
        fprintf(stderr, "%s: %s did not answer within %g s\n", tool, service, CallLimitS);
        return 3;
    }
    if (r == LE_CLOSED)
    {
        fprintf(stderr, "%s: %s ended the session (veltrona ended?)\n", tool, service);
        return 2;
    }
    return 0;
}

int UsageError(const char* tool, const std::vector<std::string>& args, bool knownCommand, void (*usage)(FILE*))
{
    if (args.empty()) usage(stderr);
    else if (!knownCommand) fprintf(stderr, "%s: unknown command '%s' (see --help)\n", tool, args[0].c_str());
    else fprintf(stderr, "%s: wrong operands for '%s' (see --help)\n", tool, args[0].c_str());
    return 2;
}

bool ServiceGone = false;

void StopOnServiceGone(void*)
{
    ServiceGone = true;
    le_event_StopLoop(nullptr, 2);
}

int ServeLoopFor(double timeout, bool timeoutIsFailure)
{
    if (timeout >= 0)
    {
        le_timer_Ref_t t = le_timer_Create("ToolDeadline");
        le_timer_SetMsInterval(t, static_cast<uint32_t>(timeout * 1000));
        le_timer_SetHandler(t, OnDeadline);
        le_timer_Start(t);
    }
    int code = le_event_RunLoop();
    return code == 3 && !timeoutIsFailure ? 0 : code;
}

bool ParseToolOptions(const char* tool, int argc, char** argv, void (*usage)(FILE*), ToolOptions* options,
                      int* exitCode)
{
    *exitCode = 2;
    std::string runtimeDir;
    for (int i = 1; i < argc; i++)
    {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h")
        {
            usage(stdout);
            *exitCode = 0;
            return false;
        }
        else if (a == "--version")
        {
            printf("%s %s\n", tool, VELTRONA_VERSION);
            *exitCode = 0;
            return false;
        }
        else if (a == "--")   // what follows is operands, whatever it looks like
        {
            for (i++; i < argc; i++) options->args.push_back(argv[i]);
        }
        else if (a == "--runtime-dir" && hasValue) runtimeDir = argv[++i];
        else if (a == "--service-dir" && hasValue) options->serviceDir = argv[++i];
        else if (a == "--count" && hasValue)
        {
            if (!ParseCount(argv[++i], &options->count))
            {
                fprintf(stderr, "%s: --count takes a whole number, not '%s'\n", tool, argv[i]);
                return false;
            }
        }
        else if (a == "--timeout" && hasValue)
        {
            if (!ParseSeconds(argv[++i], &options->timeout))
            {
                fprintf(stderr, "%s: --timeout takes seconds, not '%s'\n", tool, argv[i]);
                return false;
            }
        }
        // A negative number is an operand, not an option.
        else if (a.size() > 1 && a[0] == '-' && !isdigit(static_cast<unsigned char>(a[1])) && a[1] != '.')
        {
            fprintf(stderr, "%s: unknown option '%s'\n", tool, a.c_str());
            usage(stderr);
            return false;
        }
        else options->args.push_back(a);
    }
    if (!options->serviceDir.empty() && runtimeDir.empty()) return true;   // the caller's own choice
    if (!UsableRuntimeDir(tool, &runtimeDir)) return false;
    options->serviceDir = runtimeDir + "/services";
    return true;
}

bool UsableRuntimeDir(const char* tool, std::string* dir)
{
    if (dir->empty())
    {
        char fallback[PA_PATH_MAX];
        if (!pa_path_DefaultRuntimeDir(fallback, sizeof(fallback)))
        {
            fprintf(stderr, "%s: the runtime directory's path is too long\n", tool);
            return false;
        }
        *dir = fallback;
    }
    char reason[PA_PATH_MAX + 128];
    if (pa_path_CheckRuntimeDir(dir->c_str(), reason, sizeof(reason)) != LE_OK)
    {
        fprintf(stderr, "%s: %s\n", tool, reason);
        return false;
    }
    return true;
}

double NowSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

LineConnection::~LineConnection()
{
    if (fd_ >= 0) close(fd_);
}

bool LineConnection::Open(const std::string& path, const char* what, std::string* err)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path))
    {
        *err = "socket path too long: " + path;
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        *err = std::string("cannot reach ") + what + " at " + path + ": " + strerror(errno) + " (is veltrona running?)";
        return false;
    }
    return true;
}

bool LineConnection::Send(const std::string& line)
{
    std::string data = line + "\n";
    return pa_socket_SendAll(fd_, data.data(), data.size());
}

int LineConnection::ReadLine(std::string* line, double timeoutSeconds)
{
    double deadline = NowSeconds() + timeoutSeconds;
    for (;;)
    {
        size_t nl = buffer_.find('\n');
        if (nl != std::string::npos)
        {
            *line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return 1;
        }
        int waitMs = -1;
        if (timeoutSeconds >= 0)
        {
            double left = deadline - NowSeconds();
            if (left <= 0) return 0;
            waitMs = static_cast<int>(left * 1000) + 1;
        }
        struct pollfd p = {fd_, POLLIN, 0};
        int r = poll(&p, 1, waitMs);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return 0;
        char buf[65536];
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        if (n <= 0) return -1;
        buffer_.append(buf, static_cast<size_t>(n));
    }
}

std::string Unescaped(const std::string& text)
{
    std::vector<char> buf(text.size() + 1);
    if (!dhub_Unescape(text.c_str(), buf.data(), buf.size())) return text;
    return buf.data();
}

std::string JsonRecord(const std::string& path, const std::string& kind, const std::string& type,
                       const std::string& units, bool hasValue, const std::string& value, const std::string& timestamp)
{
    std::string v = "null";
    if (hasValue && type == "boolean") v = value == "true" ? "true" : "false";
    else if (hasValue && type == "numeric") v = value;
    else if (hasValue && type != "trigger") v = dhub_JsonString(value);
    std::string ts = hasValue && !timestamp.empty() ? timestamp : "null";
    return "{\"path\":" + dhub_JsonString(path) + ",\"kind\":" + dhub_JsonString(kind) + ",\"type\":" +
           dhub_JsonString(type) + ",\"units\":" + dhub_JsonString(units) + ",\"value\":" + v + ",\"timestamp\":" + ts +
           "}";
}
