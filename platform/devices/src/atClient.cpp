#include "le_atClient.h"
#include "le_clock.h"
#include "le_log.h"
#include "le_utf8.h"
#include "pa_service.h"
#include "pa_text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

struct le_atClient_Device
{
    int fd;
};

struct le_atClient_Cmd
{
    std::string command;
    std::vector<std::string> intermediatePrefixes{""};
    std::vector<std::string> finalPrefixes{"OK"};
    uint32_t timeoutMs = 30000;
    le_atClient_Device* device = nullptr;
    std::vector<std::string> intermediates;
    size_t nextIntermediate = 0;
    std::string finalResponse;
    bool hasFinal = false;
};

namespace
{
std::set<le_atClient_Device*> Devices;

std::vector<std::string> SplitPrefixes(const char* text)
{
    return pa_text_Split(text ? text : "", '|');
}

bool StartsWithAny(const std::string& line, const std::vector<std::string>& prefixes)
{
    for (const std::string& p : prefixes)
    {
        if (line.compare(0, p.size(), p) == 0) return true;
    }
    return false;
}

bool IsFinal(const le_atClient_Cmd* cmd, const std::string& line)
{
    static const std::vector<std::string> errors{"ERROR", "+CME ERROR", "+CMS ERROR"};
    std::vector<std::string> nonEmpty;
    for (const std::string& p : cmd->finalPrefixes)
    {
        if (!p.empty()) nonEmpty.push_back(p);
    }
    return StartsWithAny(line, nonEmpty) || StartsWithAny(line, errors);
}

le_result_t CopyOut(const std::string& text, char* buf, size_t bufSize)
{
    if (buf == nullptr || bufSize == 0) return LE_BAD_PARAMETER;
    return le_utf8_Copy(buf, text.c_str(), bufSize, nullptr);
}

// The modem answers in real time, whatever the platform clock.
int64_t RealMs()
{
    return static_cast<int64_t>(le_clk_RealMs());
}
}

void le_atClient_ConnectService(void)
{
}

le_result_t le_atClient_TryConnectService(void)
{
    return pa_service_IsAvailable("le_atClient") ? LE_OK : LE_UNAVAILABLE;
}

void le_atClient_DisconnectService(void)
{
}

le_atClient_DeviceRef_t le_atClient_Start(int fd)
{
    if (fd < 0 || fcntl(fd, F_GETFD) < 0)
    {
        LE_ERROR("AT client: bad descriptor %d", fd);
        return nullptr;
    }
    auto* d = new le_atClient_Device{fd};
    Devices.insert(d);
    return d;
}

le_result_t le_atClient_Stop(le_atClient_DeviceRef_t device)
{
    if (Devices.erase(device) == 0) return LE_BAD_PARAMETER;
    delete device;
    return LE_OK;
}

le_atClient_CmdRef_t le_atClient_Create(void)
{
    return new le_atClient_Cmd();
}

le_result_t le_atClient_Delete(le_atClient_CmdRef_t cmd)
{
    if (cmd == nullptr) return LE_BAD_PARAMETER;
    delete cmd;
    return LE_OK;
}

le_result_t le_atClient_SetCommand(le_atClient_CmdRef_t cmd, const char* command)
{
    if (cmd == nullptr || command == nullptr || strlen(command) > LE_ATCLIENT_CMD_MAX_LEN) return LE_BAD_PARAMETER;
    cmd->command = command;
    return LE_OK;
}

le_result_t le_atClient_SetIntermediateResponse(le_atClient_CmdRef_t cmd, const char* prefixes)
{
    if (cmd == nullptr) return LE_BAD_PARAMETER;
    cmd->intermediatePrefixes = SplitPrefixes(prefixes);
    return LE_OK;
}

le_result_t le_atClient_SetFinalResponse(le_atClient_CmdRef_t cmd, const char* prefixes)
{
    if (cmd == nullptr) return LE_BAD_PARAMETER;
    cmd->finalPrefixes = SplitPrefixes(prefixes);
    return LE_OK;
}

le_result_t le_atClient_SetTimeout(le_atClient_CmdRef_t cmd, uint32_t timeoutMs)
{
    if (cmd == nullptr) return LE_BAD_PARAMETER;
    cmd->timeoutMs = timeoutMs;
    return LE_OK;
}

le_result_t le_atClient_SetDevice(le_atClient_CmdRef_t cmd, le_atClient_DeviceRef_t device)
{
    if (cmd == nullptr || device == nullptr || Devices.count(device) == 0) return LE_BAD_PARAMETER;
    cmd->device = device;
    return LE_OK;
}

le_result_t le_atClient_Send(le_atClient_CmdRef_t cmd)
{
    if (cmd == nullptr || cmd->device == nullptr || Devices.count(cmd->device) == 0) return LE_BAD_PARAMETER;
    cmd->intermediates.clear();
    cmd->nextIntermediate = 0;
    cmd->finalResponse.clear();
    cmd->hasFinal = false;
    int fd = cmd->device->fd;
    std::string out = cmd->command + "\r";
    size_t off = 0;
    int64_t deadline = RealMs() + cmd->timeoutMs;
    while (off < out.size())
    {
        ssize_t n = write(fd, out.data() + off, out.size() - off);
        if (n > 0)
        {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR) && RealMs() < deadline)
        {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 10);
            continue;
        }
        LE_ERROR("AT client: cannot write '%s': %s", cmd->command.c_str(), strerror(errno));
        return LE_FAULT;
    }
    std::string line;
    for (;;)
    {
        int64_t left = deadline - RealMs();
        if (left <= 0) return LE_TIMEOUT;
        struct pollfd p = {fd, POLLIN, 0};
        int pr = poll(&p, 1, static_cast<int>(left));
        if (pr < 0 && errno == EINTR) continue;
        if (pr <= 0) return LE_TIMEOUT;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0)
        {
            LE_ERROR("AT client: port closed while waiting for '%s'", cmd->command.c_str());
            return LE_FAULT;
        }
        for (ssize_t i = 0; i < n; i++)
        {
            char c = buf[i];
            if (c != '\r' && c != '\n')
            {
                if (line.size() < LE_ATCLIENT_RESPONSE_MAX * 4) line.push_back(c);
                continue;
            }
            if (line.empty() || line == cmd->command)
            {
                line.clear();   // blank separator or the modem's echo
                continue;
            }
            if (IsFinal(cmd, line))
            {
                cmd->finalResponse = line;
                cmd->hasFinal = true;
                return LE_OK;
            }
            if (StartsWithAny(line, cmd->intermediatePrefixes)) cmd->intermediates.push_back(line);
            line.clear();
        }
    }
}

le_result_t le_atClient_GetFirstIntermediateResponse(le_atClient_CmdRef_t cmd, char* buf, size_t bufSize)
{
    if (cmd == nullptr) return LE_BAD_PARAMETER;
    cmd->nextIntermediate = 0;
    return le_atClient_GetNextIntermediateResponse(cmd, buf, bufSize);
}

le_result_t le_atClient_GetNextIntermediateResponse(le_atClient_CmdRef_t cmd, char* buf, size_t bufSize)
{
    if (cmd == nullptr) return LE_BAD_PARAMETER;
    if (cmd->nextIntermediate >= cmd->intermediates.size()) return LE_NOT_FOUND;
    return CopyOut(cmd->intermediates[cmd->nextIntermediate++], buf, bufSize);
}

le_result_t le_atClient_GetFinalResponse(le_atClient_CmdRef_t cmd, char* buf, size_t bufSize)
{
    if (cmd == nullptr) return LE_BAD_PARAMETER;
    if (!cmd->hasFinal) return LE_NOT_FOUND;
    return CopyOut(cmd->finalResponse, buf, bufSize);
}
