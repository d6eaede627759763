#include "sim_modbus.h"
#include "sim_pty.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
// Silence that ends a frame. A pty has no character timing, so it is far longer than 3.5
// characters.
const uint64_t FrameGapMs = 50;

std::thread Worker;
std::atomic<bool> Running{false};
std::atomic<unsigned> Requests{0};
SimPty Pty;
uint8_t Address = 1;

std::atomic<void (*)(void)> AnswerWritten{nullptr};

std::mutex MapMutex;
uint16_t Registers[SIM_MODBUS_REGISTERS];
bool Coils[SIM_MODBUS_COILS];

// Table-driven CRC-16/MODBUS (reflected polynomial 0xA001). The slave keeps its own, written
// apart from the master's bitwise one, so that each checks the other on the wire.
struct CrcTable
{
    uint16_t t[256];
    CrcTable()
    {
        for (unsigned i = 0; i < 256; i++)
        {
            uint16_t c = static_cast<uint16_t>(i);
            for (int b = 0; b < 8; b++) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : c >> 1;
            t[i] = c;
        }
    }
};

uint16_t Crc16(const uint8_t* p, size_t n)
{
    static const CrcTable table;
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) crc = static_cast<uint16_t>((crc >> 8) ^ table.t[(crc ^ p[i]) & 0xFF]);
    return crc;
}

bool CrcMatches(const uint8_t* p, size_t n)
{
    uint16_t crc = Crc16(p, n - 2);
    return p[n - 2] == (crc & 0xFF) && p[n - 1] == (crc >> 8);
}

void ResetMap()
{
    std::lock_guard<std::mutex> lock(MapMutex);
    for (unsigned i = 0; i < SIM_MODBUS_REGISTERS; i++) Registers[i] = simModbus_InitialRegister(static_cast<uint16_t>(i));
    for (bool& c : Coils) c = false;
}

size_t Finish(std::vector<uint8_t>& answer, uint8_t* out, size_t outSize)
{
    uint16_t crc = Crc16(answer.data(), answer.size());
    answer.push_back(static_cast<uint8_t>(crc & 0xFF));
    answer.push_back(static_cast<uint8_t>(crc >> 8));
    if (answer.size() > outSize) return 0;
    std::copy(answer.begin(), answer.end(), out);
    return answer.size();
}

size_t Exception(uint8_t function, uint8_t code, uint8_t* out, size_t outSize)
{
    std::vector<uint8_t> answer = {Address, static_cast<uint8_t>(function | 0x80), code};
    return Finish(answer, out, outSize);
}

// The answer to one 8-byte request of functions 1 to 6 whose CRC was checked; 0 for none.
size_t Answer(const uint8_t* q, uint8_t* out, size_t outSize)
{
    const uint8_t function = q[1];
    const unsigned start = (static_cast<unsigned>(q[2]) << 8) | q[3];
    const unsigned value = (static_cast<unsigned>(q[4]) << 8) | q[5];
    std::vector<uint8_t> answer = {Address, function};
    std::lock_guard<std::mutex> lock(MapMutex);
    switch (function)
    {
        case 1:
            if (value < 1 || value > 2000) return Exception(function, 3, out, outSize);
            if (start + value > SIM_MODBUS_COILS) return Exception(function, 2, out, outSize);
            answer.push_back(static_cast<uint8_t>((value + 7) / 8));
            for (unsigned i = 0; i < value; i += 8)
            {
                uint8_t bits = 0;
                for (unsigned b = 0; b < 8 && i + b < value; b++) bits |= Coils[start + i + b] ? (1u << b) : 0;
                answer.push_back(bits);
            }
            break;
        case 3:
            if (value < 1 || value > 125) return Exception(function, 3, out, outSize);
            if (start + value > SIM_MODBUS_REGISTERS) return Exception(function, 2, out, outSize);
            answer.push_back(static_cast<uint8_t>(value * 2));
            for (unsigned i = 0; i < value; i++)
            {
                answer.push_back(static_cast<uint8_t>(Registers[start + i] >> 8));
                answer.push_back(static_cast<uint8_t>(Registers[start + i] & 0xFF));
            }
            break;
        case 5:
            if (value != 0xFF00 && value != 0x0000) return Exception(function, 3, out, outSize);
            if (start >= SIM_MODBUS_COILS) return Exception(function, 2, out, outSize);
            Coils[start] = value == 0xFF00;
            answer.insert(answer.end(), q + 2, q + 6);
            break;
        case 6:
            if (start >= SIM_MODBUS_REGISTERS) return Exception(function, 2, out, outSize);
            Registers[start] = static_cast<uint16_t>(value);
            answer.insert(answer.end(), q + 2, q + 6);
            break;
        default: return Exception(function, 1, out, outSize);
    }
    return Finish(answer, out, outSize);
}

void Handle(const uint8_t* q, size_t n)
{
    uint8_t out[260];
    size_t length = 0;
    if (n == 8 && q[1] >= 1 && q[1] <= 6) length = Answer(q, out, sizeof(out));
    else length = Exception(q[1], 1, out, sizeof(out));
    Requests++;
    if (q[0] == Address && length > 0)
    {
        simPty_WriteAll(&Pty, out, length, Running);
        void (*written)(void) = AnswerWritten.load();
        if (written) written();
    }
}

// A request of functions 1 to 6 (always 8 bytes) with a good CRC starts at offset k.
bool IsShortFrameAt(const std::vector<uint8_t>& buf, size_t k)
{
    return k + 8 <= buf.size() && buf[k + 1] >= 1 && buf[k + 1] <= 6 && CrcMatches(buf.data() + k, 8);
}

// Requests of functions 1 to 6 are taken as soon as they are in, after any noise before them;
// anything else is taken as one frame when the line falls silent.
void Parse(std::vector<uint8_t>& buf, bool silent)
{
    size_t k = 0;
    while (k + 8 <= buf.size())
    {
        if (!IsShortFrameAt(buf, k))
        {
            k++;
            continue;
        }
        if (buf[k] == Address || buf[k] == 0) Handle(buf.data() + k, 8);
        buf.erase(buf.begin(), buf.begin() + static_cast<long>(k + 8));
        k = 0;
    }
    if (!silent) return;
    if (buf.size() >= 4 && CrcMatches(buf.data(), buf.size()) && (buf[0] == Address || buf[0] == 0))
        Handle(buf.data(), buf.size());
    buf.clear();
}

void Run()
{
    std::vector<uint8_t> buf;
    uint64_t lastByteMs = 0;
    while (Running)
    {
        struct pollfd pfd = {Pty.master, POLLIN, 0};
        int r = poll(&pfd, 1, 10);
        if (r > 0 && (pfd.revents & POLLIN))
        {
            uint8_t chunk[512];
            ssize_t n = read(Pty.master, chunk, sizeof(chunk));
            if (n > 0)
            {
                buf.insert(buf.end(), chunk, chunk + n);
                lastByteMs = simPty_NowMs();
                Parse(buf, false);
            }
        }
        if (!buf.empty() && simPty_NowMs() - lastByteMs >= FrameGapMs) Parse(buf, true);
    }
}
}

bool simModbus_Start(uint8_t address, char* slavePath, size_t slavePathSize)
{
    if (Running || !simPty_Open(&Pty, slavePath, slavePathSize)) return false;
    Address = address;
    Requests = 0;
    ResetMap();
    Running = true;
    Worker = std::thread(Run);
    return true;
}

void simModbus_Stop(void)
{
    if (!Running) return;
    Running = false;
    Worker.join();
    simPty_Close(&Pty);
}

uint16_t simModbus_Register(uint16_t address)
{
    std::lock_guard<std::mutex> lock(MapMutex);
    return address < SIM_MODBUS_REGISTERS ? Registers[address] : 0;
}

void simModbus_SetRegister(uint16_t address, uint16_t value)
{
    std::lock_guard<std::mutex> lock(MapMutex);
    if (address < SIM_MODBUS_REGISTERS) Registers[address] = value;
}

uint16_t simModbus_InitialRegister(uint16_t address)
{
    if (address == 47) return 0x0005;
    if (address >= 49 && address <= 56) return static_cast<uint16_t>((address - 48) * 100);
    return address < SIM_MODBUS_REGISTERS ? static_cast<uint16_t>(address * 16) : 0;
}

bool simModbus_Running(void)
{
    return Running;
}

void simModbus_SetCoil(uint16_t address, bool on)
{
    std::lock_guard<std::mutex> lock(MapMutex);
    if (address < SIM_MODBUS_COILS) Coils[address] = on;
}

bool simModbus_Coil(uint16_t address)
{
    std::lock_guard<std::mutex> lock(MapMutex);
    return address < SIM_MODBUS_COILS && Coils[address];
}

void simModbus_SetAnswerHook(void (*written)(void))
{
    AnswerWritten = written;
}

unsigned simModbus_RequestCount(void)
{
    return Requests;
}
