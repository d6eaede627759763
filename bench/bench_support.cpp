#include "bench_support.h"
#include "sim_pty.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <unistd.h>
#include <vector>

extern char** environ;

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
    std::vector<std::string> argv = {veltrona};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(&a[0]);
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid;
    int rc = posix_spawn(&pid, veltrona.c_str(), &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

pid_t StartGateway(const std::string& veltrona, const std::string& runtimeDir, const std::string& tty,
                   const std::string& logLevel, const std::string& log)
{
    return StartProgram(veltrona, {"--scenario", "gateway", "--clock", "skip", "--runtime-dir", runtimeDir, "--device",
                                   "/dev/ttyHS0=" + tty, "--log-level", logLevel},
                        log);
}
