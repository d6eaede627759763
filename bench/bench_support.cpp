#include "bench_support.h"
#include "le_event.h"
#include "sim_process.h"
#include "sim_pty.h"
#include "tool_support.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// CPU seconds (user + system) of a process, from /proc.
double CpuSeconds(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::vector<std::string> fields;
    size_t start = close + 2;
    while (start < stat.size())
    {
        size_t end = stat.find(' ', start);
        fields.push_back(stat.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (fields.size() < 13) return -1;
    return (atof(fields[11].c_str()) + atof(fields[12].c_str())) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long PeakRssKb(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
    {
        if (line.compare(0, 6, "VmHWM:") == 0) return atol(line.c_str() + 6);
    }
    return -1;
}

bool OpenRawPty(int* master, std::string* slave, int* holdSlave)
{
    SimPty pty;
    char path[256];
    if (!simPty_Open(&pty, path, sizeof(path))) return false;
    *master = pty.master;
    *holdSlave = pty.keepSlave;
    *slave = path;
    return true;
}

pid_t StartProgram(const std::string& veltrona, const std::vector<std::string>& args, const std::string& log)
{
    return simProcess_Start(veltrona, args, log, false);
}

pid_t StartGateway(const std::string& veltrona, const std::string& runtimeDir, const std::string& tty,
                   const std::string& logLevel, const std::string& log, const std::vector<std::string>& extra)
{
    std::vector<std::string> args = {"--scenario", "gateway", "--clock", "skip", "--runtime-dir", runtimeDir, "--device",
                                     "/dev/ttyHS0=" + tty, "--log-level", logLevel};
    args.insert(args.end(), extra.begin(), extra.end());
    return StartProgram(veltrona, args, log);
}

bool ParseBenchOptions(int argc, char** argv, void (*usage)(FILE*), BenchOptions* options, int* exitCode)
{
    if (options->veltrona.empty()) options->veltrona = VELTRONA_BIN;
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
        if (a == "--version")
        {
            printf("%s %s\n", argv[0], VELTRONA_VERSION);
            *exitCode = 0;
            return false;
        }
        if (a == "--seconds" && hasValue)
        {
            if (!ParseSeconds(argv[++i], &options->seconds) || options->seconds == 0)
            {
                fprintf(stderr, "%s: --seconds takes a positive number\n", argv[0]);
                *exitCode = 2;
                return false;
            }
        }
        else if (a == "--veltrona" && hasValue) options->veltrona = argv[++i];
        else if (a == "--keep" && options->offersLogOptions) options->keep = true;
        else if (a == "--cloud" && options->offersCloud) options->cloud = true;
        else if (a == "--log-level" && hasValue && options->offersLogOptions) options->logLevel = argv[++i];
        else
        {
            usage(stderr);
            *exitCode = 2;
            return false;
        }
    }
    return true;
}

std::string MakeRunDirectory(const char* bench)
{
    std::string tmpl = std::string("/tmp/") + bench + "-XXXXXX";
    std::vector<char> path(tmpl.begin(), tmpl.end());
    path.push_back('\0');
    if (mkdtemp(path.data()) == nullptr)
    {
        perror(bench);
        return "";
    }
    return path.data();
}

bool ConnectWithin(le_result_t (*connect)(void), double seconds)
{
    double deadline = Now() + seconds;
    for (;;)
    {
        if (connect() == LE_OK) return true;
        if (Now() >= deadline) return false;
        usleep(50000);
    }
}

double ProcessCpuSeconds()
{
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void ServeLoopFor(double seconds)
{
    double end = Now() + seconds;
    while (Now() < end) le_event_ServiceOnce(static_cast<int>(std::max(1.0, (end - Now()) * 1000)));
}

int ConnectUnixSocket(const std::string& path)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

bool ReadLine(int fd, std::string* buffer, std::string* line, double timeout, bool* endedPtr)
{
    if (endedPtr) *endedPtr = false;
    double end = Now() + timeout;
    for (;;)
    {
        size_t nl = buffer->find('\n');
        if (nl != std::string::npos)
        {
            *line = buffer->substr(0, nl);
            buffer->erase(0, nl + 1);
            return true;
        }
        struct pollfd p = {fd, POLLIN, 0};
        int left = static_cast<int>((end - Now()) * 1000);
        if (left <= 0 || poll(&p, 1, left) <= 0) return false;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
        {
            if (endedPtr) *endedPtr = true;
            return false;
        }
        buffer->append(buf, static_cast<size_t>(n));
    }
}
