// Modbus RTU master link on "/dev/ttyHS1". Everything runs on the main thread's loop.
#include "Modbus.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

struct ModbusRequest
{
    uint8_t frame[MODBUS_REQUEST_MAX];   // bytes 6 and 7 take the CRC when it is sent
    int32_t length;
    ModbusRequest* next;
};

struct ModbusReceiveHandler
{
    le_EModbus_ReceiveHandlerFunc_t handler;
    void* context;
    ModbusReceiveHandler* next;
    bool removed;   // removed while answers were being delivered; unlinked afterwards
};

namespace
{
const char* FDescription = nullptr;
int FD = -1;
le_tty_Speed_t BRate = LE_TTY_SPEED_9600;
le_fdMonitor_Ref_t FDMonitor = nullptr;
le_timer_Ref_t TimerRefModbus = nullptr;
le_mem_PoolRef_t HandlersMsg = nullptr;
le_mem_PoolRef_t HandlersPool = nullptr;
ModbusRequest* FirstMsg = nullptr;
ModbusReceiveHandler* Hndlers = nullptr;
uint8_t DataRead[MODBUS_ANSWER_MAX];
uint8_t DataReceived = 0;
bool IsDeadLocked = false;

size_t HeadWritten = 0;        // bytes of the head request written so far
unsigned Removals = 0;         // head requests dropped so far
int Delivering = 0;            // nesting depth of answer delivery
bool RemovedWhileDelivering = false;
// The request the answer being delivered came for: the head, once all of it went out.
const ModbusRequest* AnsweredRequest = nullptr;

void UartHandler(int fd, short events);

int OpenUart(void)
{
    FD = le_tty_Open(FDescription, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (FD < 0) return FD;
    if (le_tty_SetBaudRate(FD, BRate) != LE_OK || le_tty_SetFraming(FD, 'N', 8, 1) != LE_OK ||
        le_tty_SetRaw(FD, 0, 0) != LE_OK || le_tty_SetFlowControl(FD, LE_TTY_FLOW_CONTROL_NONE) != LE_OK)
    {
        LE_INFO("Cannot configure %s; the link carries on with the port's own settings", FDescription);
    }
    FDMonitor = le_fdMonitor_Create("Uart1", FD, UartHandler, POLLIN);
    return FD;
}

bool RemoveMsg(void)
{
    if (FirstMsg != nullptr)
    {
        IsDeadLocked = false;
        DataReceived = 0;
        ModbusRequest* old = FirstMsg;
        if (old == AnsweredRequest) AnsweredRequest = nullptr;   // a handler stopped the link
        FirstMsg = old->next;
        le_mem_Release(old);
        HeadWritten = 0;
        Removals++;
    }
    if (FirstMsg == nullptr) return false;
    LE_INFO("Enabled");
    if (FDMonitor != nullptr) le_fdMonitor_Enable(FDMonitor, POLLOUT);
    return true;
}

void SendHead(void)
{
    ModbusRequest* head = FirstMsg;
    if (HeadWritten == 0)
    {
        LE_INFO("XXXXXXXXXXX   Request Sent  XXXXXXXXXXXXXXX");
        // The CRC covers every byte before the frame's last two and goes into those two.
        const size_t body = static_cast<size_t>(head->length) - 2;
        uint16_t crc = CRC(head->frame, body);
        head->frame[body] = static_cast<uint8_t>(crc & 0xFF);
        head->frame[body + 1] = static_cast<uint8_t>(crc >> 8);
        // The slave answers only after this request, so bytes held now cannot be its answer.
        DataReceived = 0;
    }
    const size_t length = static_cast<size_t>(head->length);
    while (HeadWritten < length)
    {
        ssize_t n = write(FD, head->frame + HeadWritten, length - HeadWritten);
        if (n > 0)
        {
            HeadWritten += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;   // the rest goes on the next POLLOUT
        LE_INFO("Cannot write the request to %s (%s); it waits for the anti-lock timer", FDescription,
                n < 0 ? strerror(errno) : "nothing written");
        break;
    }
    LE_INFO("Disabled");
    le_fdMonitor_Disable(FDMonitor, POLLOUT);
}

void SweepRemovedHandlers(void)
{
    ModbusReceiveHandler** link = &Hndlers;
    while (*link != nullptr)
    {
        ModbusReceiveHandler* h = *link;
        if (h->removed)
        {
            *link = h->next;
            le_mem_Release(h);
        }
        else
        {
            link = &h->next;
        }
    }
    RemovedWhileDelivering = false;
}

void Deliver(size_t size)
{
    AnsweredRequest =
        FirstMsg != nullptr && HeadWritten == static_cast<size_t>(FirstMsg->length) ? FirstMsg : nullptr;
    Delivering++;
    // Records are freed only after the walk, so a handler may remove any of them.
    for (ModbusReceiveHandler* h = Hndlers; h != nullptr; h = h->next)
    {
        if (h->removed) continue;
        LE_INFO("----");
        h->handler(DataRead, size, h->context);
    }
    Delivering--;
    AnsweredRequest = nullptr;
    if (Delivering == 0 && RemovedWhileDelivering) SweepRemovedHandlers();
}

// The length of the answer being assembled, from its function code (and byte count), once enough
// of it is there to tell; 0 while it cannot be told, or for a function whose answer is not known.
size_t ExpectedLength(void)
{
    if (DataReceived < 3) return 0;
    uint8_t function = DataRead[1];
    if (function & 0x80) return 5;   // exception: address, function, exception code, CRC
    switch (function)
    {
        case 1:    // read coils
        case 2:    // read discrete inputs
        case 3:    // read holding registers
        case 4:    // read input registers
        case 23:   // read/write multiple registers
            return static_cast<size_t>(DataRead[2]) + 5;
        case 5:    // write single coil
        case 6:    // write single register
        case 15:   // write multiple coils
        case 16:   // write multiple registers
            return 8;
        case 22:   // mask write register
            return 10;
        default:
            return 0;
    }
}

bool IsComplete(void)
{
    size_t expected = ExpectedLength();
    return expected != 0 && DataReceived == expected;
}

void Receive(void)
{
    uint8_t buf[MODBUS_ANSWER_MAX];
    ssize_t n = read(FD, buf, sizeof(buf));
    if (n <= 0) return;
    IsDeadLocked = false;
    LE_INFO("XXXXXXXXXXXX   Bytes Received  XXXXXXXXXXXXXXX");
    if (DataReceived + static_cast<size_t>(n) > MODBUS_ANSWER_MAX - 1)
    {
        RemoveMsg();
        LE_INFO("XXXXXXXXXXX  Wrong Number Of Bytes  XXXXXXXXXXXXXXX");
        return;
    }
    memcpy(DataRead + DataReceived, buf, static_cast<size_t>(n));
    DataReceived = static_cast<uint8_t>(DataReceived + n);
    if (!IsComplete()) return;

    LE_INFO("XXXXXXXXXXX   Frame OK  XXXXXXXXXXXXXX");
    const size_t size = DataReceived;
    const unsigned removalsBefore = Removals;
    uint16_t crc = CRC(DataRead, size - 2);
    if (DataRead[size - 2] == (crc & 0xFF) && DataRead[size - 1] == (crc >> 8))
    {
        LE_INFO("XXXXXXXXXXX   CRC OK  XXXXXXXXXXXXXX");
        Deliver(size);
    }
    else
    {
        LE_INFO("XXXXXXXXXXX  CRC Error  XXXXXXXXXXXXXXX");
    }
    // A handler that stopped the link (and maybe queued anew) has already dropped this request.
    if (Removals == removalsBefore) RemoveMsg();
}

void LooperAntiLock(le_timer_Ref_t)
{
    if (FirstMsg == nullptr) return;
    if (!IsDeadLocked) IsDeadLocked = true;
    else RemoveMsg();
}

// The send side first, then the receive side, in the same call.
void UartHandler(int fd, short events)
{
    LE_UNUSED(fd);
    if ((events & POLLOUT) && FirstMsg != nullptr) SendHead();
    if ((events & POLLIN) && FD >= 0) Receive();
}
}

uint16_t CRC(const uint8_t* data, size_t count)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < count; i++)
    {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

void le_EModbus_Start(void)
{
    if (FD >= 0) return;
    if (HandlersMsg == nullptr) HandlersMsg = le_mem_CreatePool("HndModbus", sizeof(ModbusRequest));
    if (HandlersPool == nullptr) HandlersPool = le_mem_CreatePool("EventModbus", sizeof(ModbusReceiveHandler));
    FDescription = "/dev/ttyHS1";
    if (OpenUart() < 0)
    {
        LE_INFO("Modbus Start failed: cannot open %s; requests are refused until a start succeeds", FDescription);
        return;
    }
    TimerRefModbus = le_timer_Create("LooperAntiLock");
    le_timer_SetMsInterval(TimerRefModbus, MODBUS_ANTI_LOCK_MS);
    le_timer_SetRepeat(TimerRefModbus, 0);
    le_timer_SetHandler(TimerRefModbus, LooperAntiLock);
    le_timer_Start(TimerRefModbus);
    LE_INFO("Modbus Start.");
}

void le_EModbus_Stop(void)
{
    if (FD < 0) return;
    le_timer_Stop(TimerRefModbus);
    le_timer_Delete(TimerRefModbus);
    TimerRefModbus = nullptr;
    while (FirstMsg != nullptr)
    {
        if (RemoveMsg()) LE_INFO("Cleared");
    }
    le_fdMonitor_Delete(FDMonitor);
    FDMonitor = nullptr;
    le_tty_Close(FD);
    FD = -1;
    LE_INFO("Modbus Stop.");
}

le_result_t le_EModbus_SetBaudRate(uint32_t baudRate)
{
    for (int code = LE_TTY_SPEED_2400; code <= LE_TTY_SPEED_460800; code++)
    {
        le_tty_Speed_t speed = static_cast<le_tty_Speed_t>(code);
        if (le_tty_SpeedToBaud(speed) != baudRate) continue;
        if (speed == BRate) return LE_DUPLICATE;
        BRate = speed;
        return LE_OK;
    }
    return LE_BAD_PARAMETER;
}

le_result_t le_EModbus_SendRequest(const uint8_t* data, size_t count)
{
    if (HandlersMsg == nullptr) return LE_FAULT;
    if (FD < 0)
    {
        // Kept requests would pile up with nothing to send them; the caller learns it at once.
        LE_INFO("Request refused: the Modbus link is stopped");
        return LE_FAULT;
    }
    // Address, function and the two CRC bytes at least.
    if (data == nullptr || count < MODBUS_REQUEST_MIN || count > MODBUS_REQUEST_MAX)
    {
        LE_INFO("Request of %zu bytes refused: a request holds %d to %d bytes, its last two for the CRC", count,
                MODBUS_REQUEST_MIN, MODBUS_REQUEST_MAX);
        return LE_FAULT;
    }
    auto* request = static_cast<ModbusRequest*>(le_mem_ForceAlloc(HandlersMsg));
    memset(request->frame, 0, sizeof(request->frame));
    memcpy(request->frame, data, count);
    request->length = static_cast<int32_t>(count);
    request->next = nullptr;
    if (FirstMsg == nullptr)
    {
        FirstMsg = request;
        LE_INFO("Enabled");
        le_fdMonitor_Enable(FDMonitor, POLLOUT);
    }
    else
    {
        ModbusRequest* tail = FirstMsg;
        while (tail->next != nullptr) tail = tail->next;
        tail->next = request;
    }
    return LE_OK;
}

le_EModbus_ReceiveHandlerRef_t le_EModbus_AddOnReceiveHandler(le_EModbus_ReceiveHandlerFunc_t handler,
                                                              void* contextPtr)
{
    if (HandlersPool == nullptr || handler == nullptr) return nullptr;
    auto* record = static_cast<ModbusReceiveHandler*>(le_mem_ForceAlloc(HandlersPool));
    record->handler = handler;
    record->context = contextPtr;
    record->next = nullptr;
    record->removed = false;
    if (Hndlers == nullptr)
    {
        Hndlers = record;
    }
    else
    {
        ModbusReceiveHandler* tail = Hndlers;
        while (tail->next != nullptr) tail = tail->next;
        tail->next = record;
        LE_INFO("Handler Next Added");
    }
    return record;
}

void le_EModbus_RemoveOnReceiveHandler(le_EModbus_ReceiveHandlerRef_t handlerRef)
{
    for (ModbusReceiveHandler** link = &Hndlers; *link != nullptr; link = &(*link)->next)
    {
        ModbusReceiveHandler* h = *link;
        if (h != handlerRef || h->removed) continue;
        if (Delivering > 0)
        {
            h->removed = true;
            RemovedWhileDelivering = true;
            return;
        }
        *link = h->next;
        le_mem_Release(h);
        return;
    }
}

const uint8_t* ModbusAnsweredRequest(size_t* length)
{
    if (AnsweredRequest == nullptr) return nullptr;
    if (length != nullptr) *length = static_cast<size_t>(AnsweredRequest->length);
    return AnsweredRequest->frame;
}

size_t ModbusQueuedRequests(void)
{
    size_t count = 0;
    for (ModbusRequest* r = FirstMsg; r != nullptr; r = r->next) count++;
    return count;
}

le_tty_Speed_t ModbusPortSpeed(void)
{
    le_tty_Speed_t speed = LE_TTY_SPEED_0;
    if (FD >= 0 && le_tty_GetBaudRate(FD, &speed) != LE_OK) speed = LE_TTY_SPEED_0;
    return speed;
}
