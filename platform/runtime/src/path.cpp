#include "pa_path.h"
#include "le_log.h"
#include "le_utf8.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
std::mutex MapMutex;
std::vector<std::pair<std::string, std::string>> Mappings;

std::string Trimmed(const char* p)
{
    std::string s(p);
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}
}

le_result_t pa_path_AddMapping(const char* from, const char* to)
{
    if (from == nullptr || to == nullptr || strlen(from) >= PA_PATH_MAX || strlen(to) >= PA_PATH_MAX)
    {
        return LE_OVERFLOW;
    }
    std::lock_guard<std::mutex> lock(MapMutex);
    std::string f = Trimmed(from);
    Mappings.erase(std::remove_if(Mappings.begin(), Mappings.end(), [&](const auto& m) { return m.first == f; }),
                   Mappings.end());
    Mappings.emplace_back(f, Trimmed(to));
    return LE_OK;
}

void pa_path_ClearMappings(void)
{
    std::lock_guard<std::mutex> lock(MapMutex);
    Mappings.clear();
}

bool pa_path_Map(const char* path, char* out, size_t outSize)
{
    std::lock_guard<std::mutex> lock(MapMutex);
    size_t bestLen = 0;
    const std::pair<std::string, std::string>* best = nullptr;
    size_t pathLen = strlen(path);
    for (const auto& m : Mappings)
    {
        size_t n = m.first.size();
        bool matches = pathLen >= n && strncmp(path, m.first.c_str(), n) == 0 &&
                       (pathLen == n || path[n] == '/' || m.first == "/");
        if (matches && n > bestLen)
        {
            best = &m;
            bestLen = n;
        }
    }
    // The root mapping keeps the whole path as the rest, so its leading '/' is not lost.
    const char* rest = (best && best->first != "/") ? path + bestLen : path;
    std::string mapped = best ? best->second + rest : std::string(path);
    return le_utf8_Copy(out, mapped.c_str(), outSize, nullptr) == LE_OK;
}

bool pa_path_Join(const char* dir, const char* name, char* out, size_t outSize)
{
    std::string d(dir ? dir : "");
    while (!d.empty() && d.back() == '/') d.pop_back();
    const char* n = name ? name : "";
    while (*n == '/') n++;
    std::string joined = d + "/" + n;
    return le_utf8_Copy(out, joined.c_str(), outSize, nullptr) == LE_OK;
}

bool pa_path_DefaultRuntimeDir(char* out, size_t outSize)
{
    const char* env = getenv("VELTRONA_RUNTIME_DIR");
    std::string dir = (env && *env) ? std::string(env) : "/tmp/veltrona-" + std::to_string(getuid());
    return le_utf8_Copy(out, dir.c_str(), outSize, nullptr) == LE_OK;
}

namespace
{
// A directory that holds sockets and state: one the running user owns and that neither group nor
// others can write. A link is refused in the subdirectories, which could point anywhere.
le_result_t CheckPrivateDir(const char* dir, const char* what, bool followLink, char* reason, size_t reasonSize)
{
    struct stat st;
    if ((followLink ? stat(dir, &st) : lstat(dir, &st)) != 0)
    {
        snprintf(reason, reasonSize, "%s %s: %s", what, dir, strerror(errno));
        return LE_NOT_FOUND;
    }
    if (!S_ISDIR(st.st_mode))
    {
        snprintf(reason, reasonSize, "%s %s is not a directory", what, dir);
        return LE_NOT_PERMITTED;
    }
    if (st.st_uid != geteuid())
    {
        snprintf(reason, reasonSize, "%s %s belongs to uid %u, not to this user (uid %u)", what, dir,
                 static_cast<unsigned>(st.st_uid), static_cast<unsigned>(geteuid()));
        return LE_NOT_PERMITTED;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH))
    {
        snprintf(reason, reasonSize, "%s %s can be written by group or others (mode %04o); make it private (chmod 700)",
                 what, dir, static_cast<unsigned>(st.st_mode & 07777));
        return LE_NOT_PERMITTED;
    }
    return LE_OK;
}
}

le_result_t pa_path_CheckRuntimeDir(const char* dir, char* reason, size_t reasonSize)
{
    le_result_t r = CheckPrivateDir(dir, "runtime directory", true, reason, reasonSize);
    if (r != LE_OK) return r;
    // Its own subdirectories hold sockets and state too; those not made yet are made private.
    for (const char* sub : {"services", "dev", "userrw"})
    {
        char path[PA_PATH_MAX];
        struct stat st;
        if (!pa_path_Join(dir, sub, path, sizeof(path)) || lstat(path, &st) != 0) continue;
        r = CheckPrivateDir(path, "runtime subdirectory", false, reason, reasonSize);
        if (r != LE_OK) return r;
    }
    return LE_OK;
}

le_result_t pa_path_LockRuntimeDir(const char* dir, int* fdPtr)
{
    char path[PA_PATH_MAX];
    if (!pa_path_Join(dir, "veltrona.lock", path, sizeof(path))) return LE_FAULT;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return LE_FAULT;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        le_result_t r = errno == EWOULDBLOCK ? LE_DUPLICATE : LE_FAULT;
        close(fd);
        return r;
    }
    *fdPtr = fd;
    return LE_OK;
}

int pa_fs_Open(const char* path, int flags, mode_t mode)
{
    char mapped[PA_PATH_MAX];
    if (!pa_path_Map(path, mapped, sizeof(mapped)))
    {
        errno = ENAMETOOLONG;
        return -1;
    }
    return open(mapped, flags | O_CLOEXEC, mode);
}

FILE* pa_fs_Fopen(const char* path, const char* mode)
{
    char mapped[PA_PATH_MAX];
    if (!pa_path_Map(path, mapped, sizeof(mapped)))
    {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    // Files this program creates are private to its user.
    int flags = O_CLOEXEC;
    switch (mode[0])
    {
        case 'r': flags |= O_RDONLY; break;
        case 'w': flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
        case 'a': flags |= O_WRONLY | O_CREAT | O_APPEND; break;
        default: errno = EINVAL; return nullptr;
    }
    if (strchr(mode, '+')) flags = (flags & ~O_WRONLY) | O_RDWR;
    int fd = open(mapped, flags, 0600);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, mode);
    if (file == nullptr)
    {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return file;
}

int pa_fs_Rename(const char* from, const char* to)
{
    char a[PA_PATH_MAX];
    char b[PA_PATH_MAX];
    if (!pa_path_Map(from, a, sizeof(a)) || !pa_path_Map(to, b, sizeof(b)))
    {
        errno = ENAMETOOLONG;
        return -1;
    }
    return rename(a, b);
}

int pa_fs_Unlink(const char* path)
{
    char mapped[PA_PATH_MAX];
    if (!pa_path_Map(path, mapped, sizeof(mapped)))
    {
        errno = ENAMETOOLONG;
        return -1;
    }
    return unlink(mapped);
}

le_result_t pa_fs_WriteFileAtomic(const char* path, const void* data, size_t size)
{
    char mapped[PA_PATH_MAX];
    char temp[PA_PATH_MAX + 8];
    if (!pa_path_Map(path, mapped, sizeof(mapped)) ||
        snprintf(temp, sizeof(temp), "%s.tmp", mapped) >= static_cast<int>(sizeof(temp)))
    {
        LE_ERROR("Path too long: %s", path);
        return LE_FAULT;
    }
    int fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
    {
        LE_ERROR("Cannot write %s: %s", temp, strerror(errno));
        return LE_FAULT;
    }
    const char* p = static_cast<const char*>(data);
    size_t left = size;
    while (left > 0)
    {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
        {
            LE_ERROR("Cannot write %s: %s", temp, strerror(errno));
            close(fd);
            unlink(temp);
            return LE_FAULT;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0)
    {
        LE_ERROR("Cannot flush %s: %s", temp, strerror(errno));
        unlink(temp);
        return LE_FAULT;
    }
    if (rename(temp, mapped) != 0)
    {
        LE_ERROR("Cannot replace %s: %s", mapped, strerror(errno));
        unlink(temp);
        return LE_FAULT;
    }
    // Make the rename itself durable.
    std::string dir(mapped);
    size_t slash = dir.rfind('/');
    dir = (slash == std::string::npos) ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0)
    {
        fsync(dirFd);
        close(dirFd);
    }
    return LE_OK;
}

le_result_t pa_fs_MakeDirs(const char* path)
{
    char mapped[PA_PATH_MAX];
    if (!pa_path_Map(path, mapped, sizeof(mapped))) return LE_FAULT;
    std::string p(mapped);
    for (size_t i = 1; i <= p.size(); i++)
    {
        if (i == p.size() || p[i] == '/')
        {
            std::string part = p.substr(0, i);
            if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            {
                LE_ERROR("Cannot create directory %s: %s", part.c_str(), strerror(errno));
                return LE_FAULT;
            }
        }
    }
    struct stat st;
    if (stat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    {
        LE_ERROR("Cannot create directory %s: a file is in the way", p.c_str());
        return LE_FAULT;
    }
    return LE_OK;
}
