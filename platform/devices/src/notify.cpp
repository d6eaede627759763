#include "pa_notify.h"
#include "pa_socket.h"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

le_result_t pa_notify_Send(const char* state)
{
    const char* where = getenv("NOTIFY_SOCKET");
    if (where == nullptr || where[0] == '\0' || state == nullptr) return LE_UNAVAILABLE;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    size_t len = strlen(where);
    if (len >= sizeof(addr.sun_path)) return LE_FAULT;
    memcpy(addr.sun_path, where, len);
    // "@name" is a socket in the abstract namespace: its first byte is 0 on the wire.
    if (where[0] == '@') addr.sun_path[0] = '\0';
    socklen_t addrLen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return LE_FAULT;
    ssize_t sent = sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&addr), addrLen);
    close(fd);
    return sent == static_cast<ssize_t>(strlen(state)) ? LE_OK : LE_FAULT;
}
