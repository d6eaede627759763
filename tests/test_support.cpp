#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <cstring>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/veltrona-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) abort();
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0)
    {
        fprintf(stderr, "could not remove %s\n", path_.c_str());
    }
}

bool WriteTextFile(const std::string& path, const std::string& content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    return static_cast<bool>(f);
}

std::string ReadTextFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

int RunCommand(const std::string& command, std::string* out)
{
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) text.append(buf, n);
    int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ConnectUnix(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

DescriptorsUsedUp::DescriptorsUsedUp()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    savedLimit_ = limit.rlim_cur;
    limit.rlim_cur = 256;
    lowered_ = setrlimit(RLIMIT_NOFILE, &limit) == 0;
    for (int fd; (fd = dup(0)) >= 0;) taken_.push_back(fd);
    if (!taken_.empty())
    {
        close(taken_.back());
        taken_.pop_back();
    }
}

void DescriptorsUsedUp::Release()
{
    for (int fd : taken_) close(fd);
    taken_.clear();
    if (lowered_)
    {
        struct rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = savedLimit_;
        setrlimit(RLIMIT_NOFILE, &limit);
        lowered_ = false;
    }
}

DescriptorsUsedUp::~DescriptorsUsedUp()
{
    Release();
}
