#include "pa_socket.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

bool pa_socket_SendAll(int fd, const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0)
    {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        {
            struct pollfd pfd = {fd, POLLOUT, 0};
            poll(&pfd, 1, 1000);
            continue;
        }
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int pa_socket_ListenUnix(const char* path, int backlog)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path == nullptr || strlen(path) >= sizeof(addr.sun_path))
    {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(addr.sun_path, path, strlen(path) + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    unlink(path);
    mode_t old = umask(077);   // private from the moment it exists
    int rc = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    umask(old);
    if (rc != 0 || listen(fd, backlog) != 0 || chmod(path, 0600) != 0)
    {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}
