#include "sim_esp3.h"
#include "sim_pty.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
const SimEsp3Sensor Sensors[] = {
    {0x01A00001, "F60203"}, {0x01A00002, "D50001"}, {0x01A00003, "A50701"}, {0x01A00004, "A50403"},
    {0x01A00005, "A50401"}, {0x01A00006, "A50904"}, {0x01A00007, "D23200"}, {0x01A00008, "D23202"},
    {0x01A00009, "D23201"}, {0x01A0000A, "D20A01"}, {0x01A0000B, "secure"},
};
const size_t SensorCount = sizeof(Sensors) / sizeof(Sensors[0]);
const uint8_t SubTelegram[] = {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x2D, 0x00};

std::thread Worker;
std::atomic<bool> Running{false};
std::atomic<unsigned> Commands{0};
std::atomic<unsigned> Telegrams{0};
SimPty Pty;

uint8_t Crc8(uint8_t crc, uint8_t byte)
{
    crc ^= byte;
    for (int b = 0; b < 8; b++) crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    return crc;
}

void WriteAll(const uint8_t* p, size_t n)
{
    simPty_WriteAll(&Pty, p, n, Running);
}

// Collects the gateway's frames and answers commands.
struct Parser
{
    std::vector<uint8_t> buf;

    void Feed(const uint8_t* p, size_t n)
    {
        buf.insert(buf.end(), p, p + n);
        for (;;)
        {
            size_t sync = 0;
            while (sync < buf.size() && buf[sync] != 0x55) sync++;   // START characters and noise
            buf.erase(buf.begin(), buf.begin() + sync);
            if (buf.size() < 6) return;
            uint8_t crc = 0;
            for (int i = 1; i <= 4; i++) crc = Crc8(crc, buf[i]);
            if (crc != buf[5])
            {
                buf.erase(buf.begin());
                continue;
            }
            size_t length = 7 + ((static_cast<size_t>(buf[1]) << 8) | buf[2]) + buf[3];
            if (buf.size() < length) return;
            if (buf[4] == 0x05)
            {
                Commands++;
                const uint8_t ok[] = {0x00};
                uint8_t frame[16];
                size_t n2 = simEsp3_Frame(0x02, ok, 1, nullptr, 0, frame, sizeof(frame));
                WriteAll(frame, n2);
            }
            buf.erase(buf.begin(), buf.begin() + length);
        }
    }
};

void Run(unsigned periodMs)
{
    Parser parser;
    uint64_t next = simPty_NowMs() + periodMs;
    unsigned step = 0;
    while (Running)
    {
        int wait = 100;
        if (periodMs > 0)
        {
            uint64_t now = simPty_NowMs();
            wait = next > now ? static_cast<int>(next - now) : 0;
        }
        struct pollfd pfd = {Pty.master, POLLIN, 0};
        int r = poll(&pfd, 1, wait < 100 ? wait : 100);
        if (r > 0 && (pfd.revents & POLLIN))
        {
            uint8_t buf[512];
            ssize_t n = read(Pty.master, buf, sizeof(buf));
            if (n > 0) parser.Feed(buf, static_cast<size_t>(n));
        }
        if (periodMs > 0 && simPty_NowMs() >= next)
        {
            uint8_t frame[128];
            size_t n = simEsp3_SensorFrame(step % SensorCount, step / SensorCount, frame, sizeof(frame));
            WriteAll(frame, n);
            Telegrams++;
            step++;
            next += periodMs;
        }
    }
}

size_t SensorData(size_t k, unsigned cycle, uint8_t* data)
{
    const SimEsp3Sensor& s = Sensors[k];
    uint8_t id[4] = {static_cast<uint8_t>(s.id >> 24), static_cast<uint8_t>(s.id >> 16),
                     static_cast<uint8_t>(s.id >> 8), static_cast<uint8_t>(s.id)};
    std::vector<uint8_t> d;
    bool vld = strncmp(s.eep, "D2", 2) == 0;
    uint8_t wobble = static_cast<uint8_t>(cycle % 8);   // values move a little from cycle to cycle
    if (vld && cycle % 2 == 0)
    {
        // UTE teach-in announcing the profile: RORG, FUNC, TYPE in DB0, DB1, DB2.
        unsigned func = 0, type = 0;
        sscanf(s.eep + 2, "%2x%2x", &func, &type);
        d = {0xD4, 0xA0, 0xFF, 0x46, 0x00, static_cast<uint8_t>(type), static_cast<uint8_t>(func), 0xD2};
    }
    else if (strcmp(s.eep, "secure") == 0)
    {
        if (cycle % 2 == 0)
        {
            d.assign(15, 0x00);   // secure teach-in: 20 data bytes, the sender at 15..18
            d[0] = 0x35;
            d.insert(d.end(), id, id + 4);
            d.push_back(0x00);
            memcpy(data, d.data(), d.size());
            return d.size();
        }
        d = {0x32, 0x5A, static_cast<uint8_t>(0x10 + wobble), 0xC3};
    }
    else if (strcmp(s.eep, "F60203") == 0) d = {0xF6, static_cast<uint8_t>(0x10 + 0x20 * (cycle % 4))};
    else if (strcmp(s.eep, "D50001") == 0) d = {0xD5, static_cast<uint8_t>(0x08 | (cycle % 2))};
    else if (strcmp(s.eep, "A50701") == 0) d = {0xA5, 0xFA, 0x00, static_cast<uint8_t>(wobble * 20), 0x09};
    else if (strcmp(s.eep, "A50403") == 0) d = {0xA5, static_cast<uint8_t>(0x80 + wobble), 0x02, 0x00, 0x08};
    else if (strcmp(s.eep, "A50401") == 0) d = {0xA5, 0x00, 0x7D, static_cast<uint8_t>(0x7D + wobble), 0x0A};
    else if (strcmp(s.eep, "A50904") == 0) d = {0xA5, 0x64, static_cast<uint8_t>(0x2A + wobble), 0x64, 0x06};
    else if (strcmp(s.eep, "D23200") == 0) d = {0xD2, 0x40, static_cast<uint8_t>(0x10 + wobble), 0x00};
    else if (strcmp(s.eep, "D23202") == 0) d = {0xD2, 0x40, 0x12, 0x34, 0x56, 0x78, 0x90};
    else if (strcmp(s.eep, "D23201") == 0) d = {0xD2, 0x00, 0x12, 0x34, static_cast<uint8_t>(0x56 + wobble)};
    else d = {0xD2, 0x00, static_cast<uint8_t>(0x28 + wobble), 0x50, 0x30};   // D20A01
    d.insert(d.end(), id, id + 4);
    d.push_back(0x00);   // status
    memcpy(data, d.data(), d.size());
    return d.size();
}
}

const SimEsp3Sensor* simEsp3_Sensors(size_t* count)
{
    if (count) *count = SensorCount;
    return Sensors;
}

size_t simEsp3_Frame(uint8_t packetType, const uint8_t* data, size_t dataSize, const uint8_t* opt, size_t optSize,
                     uint8_t* out, size_t outSize)
{
    size_t length = 7 + dataSize + optSize;
    if (length > outSize || dataSize > 0xFFFF || optSize > 0xFF) return 0;
    out[0] = 0x55;
    out[1] = static_cast<uint8_t>(dataSize >> 8);
    out[2] = static_cast<uint8_t>(dataSize);
    out[3] = static_cast<uint8_t>(optSize);
    out[4] = packetType;
    uint8_t crc = 0;
    for (int i = 1; i <= 4; i++) crc = Crc8(crc, out[i]);
    out[5] = crc;
    if (dataSize) memcpy(out + 6, data, dataSize);
    if (optSize) memcpy(out + 6 + dataSize, opt, optSize);
    crc = 0;
    for (size_t i = 0; i < dataSize + optSize; i++) crc = Crc8(crc, out[6 + i]);
    out[6 + dataSize + optSize] = crc;
    return length;
}

size_t simEsp3_SensorFrame(size_t k, unsigned step, uint8_t* out, size_t outSize)
{
    uint8_t data[32];
    size_t n = SensorData(k % SensorCount, step, data);
    return simEsp3_Frame(0x01, data, n, SubTelegram, sizeof(SubTelegram), out, outSize);
}

bool simEsp3_Start(unsigned periodMs, char* slavePath, size_t slavePathSize)
{
    if (Running || !simPty_Open(&Pty, slavePath, slavePathSize)) return false;
    Running = true;
    Worker = std::thread(Run, periodMs);
    return true;
}

void simEsp3_Stop(void)
{
    if (!Running) return;
    Running = false;
    Worker.join();
    simPty_Close(&Pty);
}

unsigned simEsp3_CommandCount(void)
{
    return Commands;
}

unsigned simEsp3_TelegramCount(void)
{
    return Telegrams;
}
