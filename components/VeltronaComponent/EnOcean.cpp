#include "EnOcean.h"
#include "EnOceanEEP.h"
#include "EnOceanOctave.h"
#include "EnOceanOctaveSensors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

SensorRecord_t Sensor[SENSOR_COUNT];

const char* const RegistryFile = "/mnt/userrw/EnOcean.txt";
const char* const HistoryFile = "/mnt/userrw/EnOceanBackup.txt";

uint8_t LearnMode = 0;
uint64_t LearnModeTime = 0;
uint64_t TmeLearnON = 0;

struct EnOceanHandlerNode
{
    le_EnOcean_ReceiveHandlerFunc_t handler;
    void* context;
    EnOceanHandlerNode* next;
};

namespace
{
const uint8_t SyncByte = 0x55;
const size_t HeaderSize = 4;
const uint64_t ByteGapMs = 100;
const uint64_t SendGapMs = 200;
const uint32_t KeepAwakeMs = 2000;
// Hex dumps of longer payloads are cut here (the log line has room for about 1000 characters).
const size_t HexDumpMax = 256;

// CRC-8 table of polynomial 0x07 (entry i is the CRC of the single byte i), built at compile time.
struct Crc8Table
{
    uint8_t entry[256];
    constexpr Crc8Table() : entry()
    {
        for (int i = 0; i < 256; i++)
        {
            uint8_t crc = static_cast<uint8_t>(i);
            for (int bit = 0; bit < 8; bit++)
            {
                crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
            }
            entry[i] = crc;
        }
    }
};
constexpr Crc8Table u8CRC8Table;

// Transmit queue: a ring of 512 slots, each holding a frame image (header + payload) sized by what
// it carries. A slot is free when its image is empty.
std::vector<uint8_t> Msgs[ESP3_QUEUE_SLOTS];
size_t MsgHead = 0;
size_t MsgCount = 0;
// The frame being written, when the port could not take it at once.
std::vector<uint8_t> TxPending;
size_t TxPendingOffset = 0;

// Receive buffer: the 4 header bytes, then data and optional data.
uint8_t Packet[HeaderSize + ESP3_PAYLOAD_MAX];
uint32_t u8State = 0;
uint32_t u16Count = 0;   // wide enough for the 65,536 payload bytes of the largest frame
uint8_t u8CRC = 0;
uint64_t TimeBackup = 0;
uint64_t TimeBackupSend = 0;

// Bytes read from the port and not yet taken by the receiver. The port is read in blocks, but the
// receiver still takes one byte at a time and one frame per event: what is left after a frame is
// taken on the next pass of the loop.
uint8_t RxBlock[1024];
size_t RxLength = 0;
size_t RxTaken = 0;
bool RxResumeQueued = false;

char FDescription[PA_PATH_MAX] = "";
int FD = -1;
le_fdMonitor_Ref_t FDMonitor = nullptr;
le_timer_Ref_t KeepAwakeTimer = nullptr;
le_timer_Ref_t SendGapTimer = nullptr;
le_pm_WakeupSourceRef_t WakeupSource = nullptr;

EnOceanHandlerNode* Hndlers = nullptr;
le_mem_PoolRef_t HandlersPool = nullptr;
// While handlers are being called, removed nodes are only marked (no handler) and unlinked after,
// so a handler may remove any handler, itself or the next one included.
bool CallingHandlers = false;
bool HandlersToSweep = false;

size_t DataLength(const uint8_t* header)
{
    return (static_cast<size_t>(header[0]) << 8) | header[1];
}

size_t PayloadLength(const uint8_t* header)
{
    return DataLength(header) + header[2];
}

// Two lower-case hex digits a byte, cut cleanly after HexDumpMax bytes.
std::string HexDump(const uint8_t* bytes, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    size_t shown = count < HexDumpMax ? count : HexDumpMax;
    std::string out;
    out.reserve(shown * 2 + 32);
    for (size_t i = 0; i < shown; i++)
    {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    if (shown < count) out += "... (" + std::to_string(count) + " bytes)";
    return out;
}

void StartCollecting(void)
{
    u16Count = 0;
    u8CRC = 0;
    u8State = 1;
}

//--------------------------------------------------------------------------------------------------
// Transmit
//--------------------------------------------------------------------------------------------------
// Writes what the port takes of the pending frame; true when all of it is out.
bool FlushPending(void)
{
    while (TxPendingOffset < TxPending.size())
    {
        ssize_t n = write(FD, TxPending.data() + TxPendingOffset, TxPending.size() - TxPendingOffset);
        if (n > 0)
        {
            TxPendingOffset += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;   // the rest on the next POLLOUT
        LE_INFO("Write to %s failed: %s; frame dropped", FDescription, strerror(errno));
        break;
    }
    bool sent = TxPendingOffset == TxPending.size();
    TxPending.clear();
    TxPendingOffset = 0;
    if (sent) LE_INFO("Data Sent.");
    return true;
}

void ResumeSending(le_timer_Ref_t)
{
    if (FDMonitor) le_fdMonitor_Enable(FDMonitor, POLLOUT);
}

void Transmit(void)
{
    if (!TxPending.empty())
    {
        FlushPending();
        return;
    }
    if (MsgCount == 0)
    {
        le_fdMonitor_Disable(FDMonitor, POLLOUT);
        return;
    }
    uint64_t now = UserTimeMs();
    if (now - TimeBackupSend <= SendGapMs)
    {
        // Too early for the next frame. Rather than spin on a writable port, look again once the
        // gap is over.
        le_fdMonitor_Disable(FDMonitor, POLLOUT);
        if (SendGapTimer == nullptr)
        {
            SendGapTimer = le_timer_Create("EnOceanSendGap");
            le_timer_SetHandler(SendGapTimer, ResumeSending);
        }
        le_timer_Stop(SendGapTimer);
        le_timer_SetMsInterval(SendGapTimer, static_cast<uint32_t>(SendGapMs + 1 - (now - TimeBackupSend)));
        le_timer_Start(SendGapTimer);
        return;
    }
    TimeBackupSend = now;
    LE_INFO("Start sending...");

    std::vector<uint8_t>& slot = Msgs[MsgHead];
    size_t payload = PayloadLength(slot.data());
    uint8_t crcH = 0;
    for (size_t i = 0; i < HeaderSize; i++) crcH = proc_crc8(crcH, slot[i]);
    LE_INFO("%02x %02x %02x %02x %02x", slot[0], slot[1], slot[2], slot[3], crcH);
    uint8_t crcD = 0;
    for (size_t i = 0; i < payload; i++) crcD = proc_crc8(crcD, slot[HeaderSize + i]);

    TxPending.clear();
    TxPending.reserve(payload + HeaderSize + 3);
    TxPending.push_back(SyncByte);
    TxPending.insert(TxPending.end(), slot.begin(), slot.begin() + HeaderSize);
    TxPending.push_back(crcH);
    TxPending.insert(TxPending.end(), slot.begin() + HeaderSize, slot.end());
    TxPending.push_back(crcD);
    TxPendingOffset = 0;

    // The slot is free again and the queue moves on.
    std::vector<uint8_t>().swap(slot);
    MsgHead = (MsgHead + 1) % ESP3_QUEUE_SLOTS;
    MsgCount--;
    FlushPending();
}

//--------------------------------------------------------------------------------------------------
// Receive
//--------------------------------------------------------------------------------------------------
void CallReceiveHandlers(uint8_t packetType, const uint8_t* payload, size_t size)
{
    CallingHandlers = true;
    for (EnOceanHandlerNode* n = Hndlers; n != nullptr; n = n->next)
    {
        if (n->handler) n->handler(packetType, payload, size, "", "", "", false, n->context);
    }
    CallingHandlers = false;
    if (!HandlersToSweep) return;
    HandlersToSweep = false;
    for (EnOceanHandlerNode** link = &Hndlers; *link != nullptr;)
    {
        EnOceanHandlerNode* n = *link;
        if (n->handler != nullptr)
        {
            link = &n->next;
            continue;
        }
        *link = n->next;
        le_mem_Release(n);
    }
}

void FormatId(const uint8_t* bytes, char* id)
{
    snprintf(id, SENSOR_ID_LEN + 1, "E%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3]);
}

// Chooses the sender ID and EEP text by RORG; false when the telegram is dropped. A telegram too
// short to carry its sender (and its announced profile) after the RORG byte is dropped, rather than
// read as a sender made of the RORG itself.
bool AcceptTelegram(const uint8_t* data, size_t n, char* id, char* eep)
{
    eep[0] = '\0';
    if (n == 0) return false;
    bool secureOnly = SettingsEO.secure != 0;
    switch (data[0])
    {
        case 0xF6:
        case 0xD5:
            if (secureOnly || n < 6) return false;
            FormatId(data + 2, id);
            return true;
        case 0xA5:
            if (secureOnly || n < 9) return false;
            FormatId(data + 5, id);
            return true;
        case 0xD2:
            if (LearnMode || secureOnly || n < 6) return false;
            FormatId(data + n - 5, id);
            return true;
        case 0xD4:
            if (secureOnly || n < 9) return false;
            FormatId(data + n - 5, id);
            snprintf(eep, SENSOR_EEP_LEN + 1, "%02x%02x%02x", data[n - 6], data[n - 7], data[n - 8]);
            return true;
        case 0x32:
            if (n < 6) return false;
            FormatId(data + n - 5, id);
            return true;
        case 0x35:
            if (n != 20) return false;
            FormatId(data + 15, id);
            return true;
        default:
            return false;
    }
}

void EndLearnModeIfExpired(const char* message)
{
    if (LearnMode && UserTimeMs() - LearnModeTime > LEARN_WINDOW_MS)
    {
        LearnMode = 0;
        LE_INFO("%s", message);
    }
}

void HandleRadioTelegram(const uint8_t* data, size_t n)
{
    char id[SENSOR_ID_LEN + 1];
    char eep[SENSOR_EEP_LEN + 1];
    if (!AcceptTelegram(data, n, id, eep)) return;
    LE_INFO("%s", id);
    if (LearnMode)
    {
        EndLearnModeIfExpired("Learn mode OFF");
        if (LearnMode && WriteSensor(id) != 0)
        {
            CreateSensor(id, eep);
            LE_INFO("%s %s", id, eep);
        }
    }
    if (LearnMode) return;
    int index = FindSensor(id);
    if (index >= 0 && Sensor[index].enable)
    {
        LE_INFO("%s", Sensor[index].eep);
        SendOctave(index, data, n);
    }
}

void Dispatch(void)
{
    uint8_t packetType = Packet[3];
    size_t n = DataLength(Packet);
    size_t size = PayloadLength(Packet);
    const uint8_t* payload = Packet + HeaderSize;
    LE_INFO("%02x", packetType);
    LE_INFO("%s", HexDump(payload, size).c_str());
    if (SettingsEO.enable && packetType == ESP3_RADIO_ERP1) HandleRadioTelegram(payload, n);
    CallReceiveHandlers(packetType, payload, size);
}

// A header failed its CRC: re-parse from a 0x55 inside it instead of waiting for a new sync.
void Resynchronise(uint8_t crcByte)
{
    size_t p = 0;
    while (p < HeaderSize && Packet[p] != SyncByte) p++;
    if (p == HeaderSize)
    {
        if (crcByte == SyncByte) StartCollecting();
        else u8State = 0;
        return;
    }
    size_t kept = HeaderSize - 1 - p;
    memmove(Packet, Packet + p + 1, kept);
    u8CRC = 0;
    for (size_t i = 0; i < kept; i++) u8CRC = proc_crc8(u8CRC, Packet[i]);
    Packet[kept] = crcByte;
    u8CRC = proc_crc8(u8CRC, crcByte);
    u16Count = static_cast<uint32_t>(kept + 1);
    u8State = (u16Count < HeaderSize) ? 1 : 2;
}

void Receive(void);

void ResumeReceive(void*, void*)
{
    RxResumeQueued = false;
    Receive();
}

// Takes the bytes of one event: returns after a frame (or at the end of what the port holds),
// leaving the rest for the next pass of the loop.
void ReceiveBytes(void)
{
    for (;;)
    {
        if (RxTaken == RxLength)
        {
            ssize_t n = read(FD, RxBlock, sizeof(RxBlock));
            if (n <= 0) return;
            RxLength = static_cast<size_t>(n);
            RxTaken = 0;
            TimeBackup = UserTimeMs();
        }
        uint8_t byte = RxBlock[RxTaken++];
        switch (u8State)
        {
            case 0:
                if (byte == SyncByte)
                {
                    LE_INFO("Sync Byte Received.");
                    StartCollecting();
                }
                break;
            case 1:
                Packet[u16Count++] = byte;
                u8CRC = proc_crc8(u8CRC, byte);
                if (u16Count == HeaderSize) u8State = 2;
                break;
            case 2:
                if (byte != u8CRC)
                {
                    LE_INFO("Wrong CRC.");
                    Resynchronise(byte);
                }
                else if (PayloadLength(Packet) > ESP3_PAYLOAD_MAX)
                {
                    // Cannot happen with a valid ESP3 header (the fields allow 65,790 bytes); the
                    // frame image has room for 65,536.
                    LE_INFO("Frame of %zu bytes is too long; dropped.", PayloadLength(Packet));
                    u8State = 0;
                }
                else if (PayloadLength(Packet) > 0)
                {
                    u16Count = 0;
                    u8CRC = 0;
                    u8State = 3;
                }
                else
                {
                    LE_INFO("Length data 0.");
                    if (byte == SyncByte)
                    {
                        StartCollecting();
                    }
                    else
                    {
                        u8State = 0;
                        return;
                    }
                }
                break;
            case 3:
                Packet[HeaderSize + u16Count++] = byte;
                u8CRC = proc_crc8(u8CRC, byte);
                if (u16Count == PayloadLength(Packet))
                {
                    LE_INFO("Length of data OK.");
                    u8State = 4;
                }
                break;
            case 4:
                if (byte == u8CRC)
                {
                    u8State = 0;
                    Dispatch();
                    return;
                }
                if (byte == SyncByte) StartCollecting();
                else u8State = 0;
                return;
            default:
                u8State = 0;
                break;
        }
    }
}

void Receive(void)
{
    uint64_t now = UserTimeMs();
    if (now - TimeBackup > ByteGapMs)
    {
        LE_INFO("Sync");
        u8State = 0;
    }
    ReceiveBytes();
    if (RxTaken < RxLength && !RxResumeQueued)
    {
        RxResumeQueued = true;
        le_event_QueueFunction(ResumeReceive, nullptr, nullptr);
    }
}
}

//--------------------------------------------------------------------------------------------------
// Link
//--------------------------------------------------------------------------------------------------
uint64_t UserTimeMs(void)
{
    uint64_t ms = 0;
    le_rtc_GetUserTime(&ms);
    return ms;
}

uint8_t proc_crc8(uint8_t crc, uint8_t byte)
{
    return u8CRC8Table.entry[crc ^ byte];
}

void ATSend(const char* command)
{
    int fd = pa_fs_Open("/dev/ttyAT", O_RDWR | O_NOCTTY | O_NONBLOCK, 0);
    if (fd < 0)
    {
        LE_INFO("Cannot open /dev/ttyAT: %s", strerror(errno));
        return;
    }
    le_atClient_DeviceRef_t device = le_atClient_Start(fd);
    le_atClient_CmdRef_t cmd = le_atClient_Create();
    if (le_atClient_SetDevice(cmd, device) == LE_OK)
    {
        le_atClient_SetTimeout(cmd, 2000);
        le_atClient_SetFinalResponse(cmd, "OK");
        le_atClient_SetIntermediateResponse(cmd, "");
        le_atClient_SetCommand(cmd, command);
        le_atClient_Send(cmd);
        char answer[LE_ATCLIENT_RESPONSE_MAX + 1];
        if (le_atClient_GetFirstIntermediateResponse(cmd, answer, sizeof(answer)) == LE_OK)
        {
            LE_INFO("%s", answer);
            while (le_atClient_GetNextIntermediateResponse(cmd, answer, sizeof(answer)) == LE_OK)
            {
                LE_INFO("%s", answer);
            }
        }
        if (le_atClient_GetFinalResponse(cmd, answer, sizeof(answer)) == LE_OK) LE_INFO("%s", answer);
    }
    if (device) le_atClient_Stop(device);
    le_atClient_Delete(cmd);
    close(fd);
}

int OpenUart(void)
{
    FD = le_tty_Open(FDescription, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (FD < 0) return FD;
    le_tty_SetBaudRate(FD, LE_TTY_SPEED_460800);
    le_tty_SetFraming(FD, 'N', 8, 1);
    le_tty_SetRaw(FD, 0, 0);
    le_tty_SetFlowControl(FD, LE_TTY_FLOW_CONTROL_NONE);
    FDMonitor = le_fdMonitor_Create("Uart", FD, UartHandler, POLLIN);
    return FD;
}

void UartHandler(int fd, short events)
{
    LE_UNUSED(fd);
    if (events & POLLOUT) Transmit();
    if (events & POLLIN) Receive();
}

void TimerHandler(le_timer_Ref_t timer)
{
    LE_UNUSED(timer);
    EndLearnModeIfExpired("Learn mode OFF.");
    if (FD >= 0) tcflow(FD, TCION);
}

void StartEO(void)
{
    LE_INFO("-----------------------------------------");
    if (le_atClient_TryConnectService() == LE_OK)
    {
        ATSend("AT!MAPUART?");
        ATSend("AT!MAPUART=17,2");
    }
    else
    {
        LE_INFO("No AT");
    }
    LE_INFO("-----------------------------------------");
    le_atClient_DisconnectService();

    TmeLearnON = 0;
    le_gpioPin8_TryConnectService();
    le_gpioPin8_EnablePullUp();
    le_gpioPin8_SetPushPullOutput(LE_GPIOPIN8_ACTIVE_HIGH, false);
    le_rtc_TryConnectService();

    for (SensorRecord_t& record : Sensor)
    {
        record.id[0] = '\0';
        record.eepHandler = nullptr;
        record.enableHandler = nullptr;
        record.deleteHandler = nullptr;
        record.deleteTime = 0;
    }
    le_thread_Sleep(3);

    ReadSensors();
    for (size_t i = 0; i < SENSOR_COUNT && Sensor[i].id[0] != '\0'; i++)
    {
        CreateSensor(Sensor[i].id, "");
        LE_INFO("%s", Sensor[i].id);
    }

    le_utf8_Copy(FDescription, "/dev/ttyHS0", sizeof(FDescription), nullptr);
    if (OpenUart() >= 1)
    {
        le_fdMonitor_Enable(FDMonitor, POLLOUT);
        le_pm_TryConnectService();
        WakeupSource = le_pm_NewWakeupSource(0, "Tag");
        le_pm_StayAwake(WakeupSource);
        le_fdMonitor_SetDeferrable(FDMonitor, true);
        KeepAwakeTimer = le_timer_Create("UartKeepsAwake");
        le_timer_SetMsInterval(KeepAwakeTimer, KeepAwakeMs);
        le_timer_SetRepeat(KeepAwakeTimer, 0);
        le_timer_SetHandler(KeepAwakeTimer, TimerHandler);
        le_timer_Start(KeepAwakeTimer);
    }
    HandlersPool = le_mem_CreatePool("Hnd", sizeof(EnOceanHandlerNode));
}

le_result_t le_EnOcean_SendData(uint8_t packetType, const uint8_t* data, size_t dataSize, const uint8_t* optData,
                                size_t optSize)
{
    if (dataSize > 0xFFFF || optSize > ESP3_OPTIONAL_MAX || dataSize + optSize > ESP3_PAYLOAD_MAX ||
        (dataSize > 0 && data == nullptr) || (optSize > 0 && optData == nullptr))
    {
        LE_INFO("Frame of %zu data and %zu optional bytes refused: it does not fit an ESP3 frame", dataSize, optSize);
        return LE_BAD_PARAMETER;
    }
    if (MsgCount == ESP3_QUEUE_SLOTS) return LE_BUSY;
    // A frame without data would read as a free slot: it takes none and is never sent.
    if (dataSize > 0)
    {
        std::vector<uint8_t>& slot = Msgs[(MsgHead + MsgCount) % ESP3_QUEUE_SLOTS];
        slot.resize(HeaderSize + dataSize + optSize);
        slot[0] = static_cast<uint8_t>(dataSize >> 8);
        slot[1] = static_cast<uint8_t>(dataSize & 0xFF);
        slot[2] = static_cast<uint8_t>(optSize);
        slot[3] = packetType;
        memcpy(slot.data() + HeaderSize, data, dataSize);
        if (optSize > 0) memcpy(slot.data() + HeaderSize + dataSize, optData, optSize);
        MsgCount++;
    }
    if (FDMonitor) le_fdMonitor_Enable(FDMonitor, POLLOUT);
    return LE_OK;
}

size_t EnOceanQueuedFrames(void)
{
    return MsgCount;
}

le_EnOcean_ReceiveHandlerRef_t le_EnOcean_AddOnReceiveHandler(le_EnOcean_ReceiveHandlerFunc_t handler,
                                                              void* contextPtr)
{
    if (handler == nullptr) return nullptr;
    if (HandlersPool == nullptr) HandlersPool = le_mem_CreatePool("Hnd", sizeof(EnOceanHandlerNode));
    auto* node = static_cast<EnOceanHandlerNode*>(le_mem_ForceAlloc(HandlersPool));
    node->handler = handler;
    node->context = contextPtr;
    node->next = nullptr;
    if (Hndlers == nullptr)
    {
        Hndlers = node;
        LE_INFO("Handler Added");
        return node;
    }
    EnOceanHandlerNode* last = Hndlers;
    while (last->next != nullptr)
    {
        LE_INFO("Handler Next...");
        last = last->next;
    }
    last->next = node;
    LE_INFO("Handler Next Added");
    return node;
}

void le_EnOcean_RemoveOnReceiveHandler(le_EnOcean_ReceiveHandlerRef_t handlerRef)
{
    EnOceanHandlerNode* prev = nullptr;
    for (EnOceanHandlerNode* n = Hndlers; n != nullptr; prev = n, n = n->next)
    {
        if (n != handlerRef || n->handler == nullptr) continue;
        if (CallingHandlers)
        {
            LE_INFO(prev == nullptr ? "Handler Removed." : "Handler Removed...");
            n->handler = nullptr;
            HandlersToSweep = true;
            return;
        }
        if (prev == nullptr)
        {
            Hndlers = n->next;
            LE_INFO("Handler Removed.");
        }
        else
        {
            prev->next = n->next;
            LE_INFO("Handler Removed...");
        }
        le_mem_Release(n);
        return;
    }
}

//--------------------------------------------------------------------------------------------------
// Registry
//--------------------------------------------------------------------------------------------------
bool IsSensorId(const char* text)
{
    if (text == nullptr || text[0] != 'E') return false;
    for (size_t i = 1; i < SENSOR_ID_LEN; i++)
    {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return text[SENSOR_ID_LEN] == '\0' || text[SENSOR_ID_LEN] == '\n';
}

int FindSensor(const char* id)
{
    for (int i = 0; i < SENSOR_COUNT; i++)
    {
        if (Sensor[i].id[0] != '\0' && strcmp(Sensor[i].id, id) == 0) return i;
    }
    return -1;
}

namespace
{
// Longest line that is looked at; a longer one holds no identifier and is skipped whole.
const size_t IdentifierLineMax = 64;

bool IsBlank(int c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// The identifier held by one line (length bytes, which may include zero bytes), or false.
bool IdentifierOfLine(const char* line, size_t length, char id[SENSOR_ID_LEN + 1])
{
    size_t begin = 0;
    while (begin < length && IsBlank(line[begin])) begin++;
    while (length > begin && IsBlank(line[length - 1])) length--;
    if (length - begin != SENSOR_ID_LEN || line[begin] != 'E') return false;
    id[0] = 'E';
    for (size_t i = 1; i < SENSOR_ID_LEN; i++)
    {
        char c = line[begin + i];
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        id[i] = c;
    }
    id[SENSOR_ID_LEN] = '\0';
    return IsSensorId(id);
}
}

bool ForEachIdentifierLine(const char* path, bool (*visit)(unsigned lineNo, const char* id, void* ctx), void* ctx)
{
    FILE* file = pa_fs_Fopen(path, "r");
    if (file == nullptr) return false;
    char line[IdentifierLineMax];
    unsigned lineNo = 0;
    bool more = true;
    while (more)
    {
        // Byte by byte, so that a zero byte is part of its line and never hides the next one.
        size_t length = 0;
        bool overLong = false;
        bool blank = true;
        int c;
        while ((c = fgetc(file)) != EOF && c != '\n')
        {
            if (!IsBlank(c)) blank = false;
            if (length < sizeof(line)) line[length++] = static_cast<char>(c);
            else overLong = true;
        }
        if (c == EOF && length == 0) break;
        lineNo++;
        if (blank) continue;
        char id[SENSOR_ID_LEN + 1];
        bool found = !overLong && IdentifierOfLine(line, length, id);
        more = visit(lineNo, found ? id : nullptr, ctx);
    }
    fclose(file);
    return true;
}

void ReadSensors(void)
{
    size_t filled = 0;
    ForEachIdentifierLine(
        RegistryFile,
        [](unsigned lineNo, const char* id, void* ctx) {
            size_t& filled = *static_cast<size_t*>(ctx);
            bool duplicate = false;
            for (size_t i = 0; id != nullptr && i < filled && !duplicate; i++)
            {
                duplicate = strcmp(Sensor[i].id, id) == 0;
            }
            if (id == nullptr || duplicate)
            {
                LE_INFO("Skipped line %u of %s: not a new sensor identifier", lineNo, RegistryFile);
                return true;
            }
            memcpy(Sensor[filled].id, id, sizeof(Sensor[filled].id));
            filled++;
            return filled < SENSOR_COUNT;
        },
        &filled);
}

int WriteSensor(const char* id)
{
    if (id != nullptr)
    {
        int found = FindSensor(id);
        if (found >= 0)
        {
            Sensor[found].deleteTime = 0;   // learning it again cancels a pending delete
            return 0;
        }
    }
    std::string content;
    int freeIndex = -1;
    for (int i = 0; i < SENSOR_COUNT; i++)
    {
        if (Sensor[i].id[0] == '\0' || Sensor[i].id[0] == '\n')
        {
            if (freeIndex < 0) freeIndex = i;
            continue;
        }
        content.append(Sensor[i].id, strnlen(Sensor[i].id, SENSOR_ID_LEN));
        content += '\n';
    }
    std::string newLine;
    if (id != nullptr && freeIndex >= 0)
    {
        SensorRecord_t& record = Sensor[freeIndex];
        le_utf8_CopyN(record.id, id, SENSOR_ID_LEN, sizeof(record.id));
        record.deleteTime = 0;
        newLine = std::string(record.id) + "\n";
        content += newLine;
    }
    // Written whole beside the old file and renamed over it, so a crash leaves one or the other.
    if (pa_fs_WriteFileAtomic(RegistryFile, content.data(), content.size()) != LE_OK)
    {
        LE_INFO("Cannot rewrite %s; the change is kept in memory", RegistryFile);
    }
    if (!newLine.empty()) AddHistory(newLine.c_str());
    return 1;
}

void AddHistory(const char* line)
{
    struct Search
    {
        const char* line;
        bool present;
    } search = {line, false};
    ForEachIdentifierLine(
        HistoryFile,
        [](unsigned, const char* id, void* ctx) {
            auto* s = static_cast<Search*>(ctx);
            s->present = id != nullptr && strncmp(id, s->line, SENSOR_ID_LEN) == 0;
            return !s->present;
        },
        &search);
    if (search.present) return;
    FILE* file = pa_fs_Fopen(HistoryFile, "a");
    if (file == nullptr)
    {
        LE_INFO("Cannot append to %s: %s", HistoryFile, strerror(errno));
        return;
    }
    bool written = fputs(line, file) >= 0;
    if (fclose(file) != 0 || !written) LE_INFO("Cannot append to %s", HistoryFile);
}
