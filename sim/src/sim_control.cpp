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
};

// Answers each whole line; false when the client is to be closed.
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
        // Answers are small; a client that does not take them within a second is dropped.
        struct timeval limit = {1, 0};
        setsockopt(c->fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        size_t len = strlen(answer.data());
        if (send(c->fd, answer.data(), len, MSG_NOSIGNAL) != static_cast<ssize_t>(len)) return false;
    }
    return c->in.size() <= MaxLine;
}

void Run()
{
    std::vector<Client> clients;
    for (;;)
    {
        std::vector<struct pollfd> fds = {{StopPipe[0], POLLIN, 0}, {ListenFd, POLLIN, 0}};
        for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        for (size_t i = clients.size(); i-- > 0;)
        {
            if (fds[i + 2].revents && !Serve(&clients[i]))
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
                clients.push_back({fd, ""});
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
            [](const char* key, const char* value, void* ctx) {
                *static_cast<std::string*>(ctx) += std::string("KEY\t") + key + "\t" + value + "\n";
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
        out = "ERR\tunknown request (LIST, GET KEY, SET KEY VALUE)\n";
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
