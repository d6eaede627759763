#include "sim_control.h"
#include "pa_socket.h"
#include "pa_text.h"
#include "sim_board.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
const size_t MaxClients = 16;
const size_t MaxLine = 4096;

std::thread Server;
int ListenFd = -1;
int StopPipe[2] = {-1, -1};
std::string SocketPath;

struct Client
{
    int fd;
    std::string in;
    std::string out;   // answers not yet taken
};

// Answers are small; a client that leaves this much unread is given up.
const size_t MaxUnread = 256 * 1024;

// Sends what the client will take now, never waiting for it; false when the client is gone.
bool Flush(Client* c)
{
    while (!c->out.empty())
    {
        ssize_t n = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
        {
            c->out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

// Answers each whole line into the client's queue; false when the client is to be closed.
bool Serve(Client* c)
{
    char buf[1024];
    ssize_t n = recv(c->fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n <= 0) return false;
    c->in.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = c->in.find('\n')) != std::string::npos)
    {
        std::string line = c->in.substr(0, nl);
        c->in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<char> answer(64 * 1024);
        simControl_Answer(line.c_str(), answer.data(), answer.size());
        c->out += answer.data();
        if (c->out.size() > MaxUnread) return false;
    }
    return c->in.size() <= MaxLine && Flush(c);
}

void Run()
{
    std::vector<Client> clients;
    for (;;)
    {
        std::vector<struct pollfd> fds = {{StopPipe[0], POLLIN, 0}, {ListenFd, POLLIN, 0}};
        for (const Client& c : clients)
        {
            // A client with answers waiting is not read until it takes them.
            fds.push_back({c.fd, static_cast<short>(c.out.empty() ? POLLIN : POLLOUT), 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        for (size_t i = clients.size(); i-- > 0;)
        {
            short events = fds[i + 2].revents;
            if (events == 0) continue;
            bool keep = (events & POLLOUT) ? Flush(&clients[i]) : Serve(&clients[i]);
            if (!keep || (events & (POLLERR | POLLNVAL)) || ((events & POLLHUP) && !(events & POLLIN)))
            {
                close(clients[i].fd);
                clients.erase(clients.begin() + static_cast<long>(i));
            }
        }
        if (fds[1].revents & POLLIN)
        {
            int fd = accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0 && clients.size() >= MaxClients)
            {
                static const char busy[] = "ERR\ttoo many simboard clients\n";
                if (send(fd, busy, sizeof(busy) - 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
                {
                    // It sees the close instead.
                }
                close(fd);
            }
            else if (fd >= 0)
            {
                clients.push_back({fd, "", ""});
            }
            else if (errno == EMFILE || errno == ENFILE)
            {
                usleep(100 * 1000);   // out of descriptors: look again later rather than spin
            }
        }
    }
    for (const Client& c : clients) close(c.fd);
}
}

void simControl_Answer(const char* lineText, char* answer, size_t answerSize)
{
    std::vector<std::string> f = pa_text_Split(lineText, '\t');
    char err[256] = "";
    std::string out;
    if (f[0] == "LIST" && f.size() == 1)
    {
        simBoard_ForEachKey(
            [](const char* key, const char* value, const char*, void* ctx) {
                *static_cast<std::string*>(ctx) += std::string("KEY\t") + key + "\t" + value + "\n";
            },
            &out);
        out += "END\n";
    }
    else if (f[0] == "INPUTS" && f.size() == 1)
    {
        simBoard_ForEachKey(
            [](const char* key, const char* value, const char* use, void* ctx) {
                if (strcmp(use, "fixed") == 0 || strcmp(use, "absent") == 0) return;
                *static_cast<std::string*>(ctx) += std::string("KEY\t") + key + "\t" + value + "\t" + use + "\n";
            },
            &out);
        out += "END\n";
    }
    else if (f[0] == "GET" && f.size() == 2)
    {
        char value[256];
        out = simBoard_Get(f[1].c_str(), value, sizeof(value), err, sizeof(err)) ? std::string("OK\t") + value + "\n"
                                                                                  : std::string("ERR\t") + err + "\n";
    }
    else if (f[0] == "SET" && f.size() == 3)
    {
        out = simBoard_SetLive(f[1].c_str(), f[2].c_str(), err, sizeof(err)) ? "OK\n" : std::string("ERR\t") + err + "\n";
    }
    else
    {
        out = "ERR\tunknown request (LIST, INPUTS, GET KEY, SET KEY VALUE)\n";
    }
    snprintf(answer, answerSize, "%s", out.c_str());
}

le_result_t simControl_Start(const char* socketPath)
{
    int fd = pa_socket_ListenUnix(socketPath, 16);
    if (fd < 0) return LE_FAULT;
    if (pipe2(StopPipe, O_CLOEXEC) != 0)
    {
        close(fd);
        return LE_FAULT;
    }
    ListenFd = fd;
    SocketPath = socketPath;
    Server = std::thread(Run);
    return LE_OK;
}

void simControl_Stop(void)
{
    if (ListenFd < 0) return;
    char byte = 0;
    if (write(StopPipe[1], &byte, 1) != 1)
    {
        // The pipe is ours and empty: the write does not fail.
    }
    Server.join();
    close(ListenFd);
    close(StopPipe[0]);
    close(StopPipe[1]);
    ListenFd = StopPipe[0] = StopPipe[1] = -1;
    unlink(SocketPath.c_str());
}
