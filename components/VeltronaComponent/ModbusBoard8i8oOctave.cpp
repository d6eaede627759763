#include "ModbusBoard8i8oOctave.h"
#include "UniversalConverterOctave.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

BoardSettings8i8o_t BoardSettings8i8o;
Input8i8o_t Input8i8o_1, Input8i8o_2, Input8i8o_3, Input8i8o_4, Input8i8o_5, Input8i8o_6, Input8i8o_7, Input8i8o_8;
le_timer_Ref_t TimerRef = nullptr;

namespace
{
Input8i8o_t* const Channels[8] = {&Input8i8o_1, &Input8i8o_2, &Input8i8o_3, &Input8i8o_4,
                                  &Input8i8o_5, &Input8i8o_6, &Input8i8o_7, &Input8i8o_8};

const uint8_t ReadHoldingRegisters = 0x03;
const uint8_t WriteSingleCoil = 0x05;
const uint8_t WriteSingleRegister = 0x06;
const uint8_t PollStart = 0x2F;   // register 47: the digital inputs, then 48 and the analogue inputs 49 to 56
const uint8_t PollCount = 0x0A;

// The board's analogue range: raw 197.016 is the live zero, 982.08 full scale on decoding; the
// thresholds are scaled with 981.08.
const double LiveZero = 197.016;
const double FullScale = 982.08;
const double ThresholdFullScale = 981.08;

// Queues one 8-byte request; the link puts the CRC in bytes 6 and 7. Without a slave address the
// request would go to address 0, a broadcast that every slave on the bus executes and none
// answers: it is not sent.
void Send(uint8_t function, uint8_t address, uint8_t high, uint8_t low)
{
    if (BoardSettings8i8o.address == 0)
    {
        LE_INFO("Board 8i8o: no slave address set; function %u request not sent", function);
        return;
    }
    const uint8_t request[8] = {BoardSettings8i8o.address, function, 0x00, address, high, low, 0, 0};
    le_EModbus_SendRequest(request, sizeof(request));
}

void CreateSetting(const char* path, const char* units, double defaultValue, const char* failure,
                   io_NumericPushHandlerFunc_t handler, io_NumericPushHandlerRef_t* refPtr)
{
    if (io_CreateOutput(path, IO_DATA_TYPE_NUMERIC, units) == LE_OK) io_SetNumericDefault(path, defaultValue);
    else LE_INFO("%s", failure);
    if (handler != nullptr) *refPtr = io_AddNumericPushHandler(path, handler, &BoardSettings8i8o);
}

// One of a channel's four outputs: on failure its path, then the failure text with the digit.
bool CreateChannelOutput(const char* path, io_DataType_t type, const char* failure, const char* digit)
{
    if (io_CreateOutput(path, type, "") == LE_OK) return true;
    LE_INFO("%s", path);
    LE_INFO(failure, digit);
    return false;
}

std::string ChannelPath(const char* leaf, int n)
{
    char path[BOARD8I8O_PATH_SIZE];
    snprintf(path, sizeof(path), "addon/%s%d", leaf, n);
    return path;
}

void BuildChannel(int n)
{
    Input8i8o_t* channel = Channels[n - 1];
    char digit[4];
    snprintf(digit, sizeof(digit), "%d", n);
    channel->channel = static_cast<uint8_t>(n);

    le_utf8_Copy(channel->analogPath, ChannelPath("analog_input", n).c_str(), sizeof(channel->analogPath), nullptr);
    if (io_CreateInput(channel->analogPath, IO_DATA_TYPE_NUMERIC, "percent") != LE_OK)
        LE_INFO("Failed to create Data Hub Input Analog %s", digit);
    le_utf8_Copy(channel->digitalPath, ChannelPath("digital_input", n).c_str(), sizeof(channel->digitalPath), nullptr);
    if (io_CreateInput(channel->digitalPath, IO_DATA_TYPE_BOOLEAN, "") != LE_OK)
        LE_INFO("Failed to create Data Hub Input %s", digit);

    std::string path = ChannelPath("modbus_interface", n);
    if (CreateChannelOutput(path.c_str(), IO_DATA_TYPE_NUMERIC, "Failed to create Data Hub Interface Numeric %s", digit))
        io_SetNumericDefault(path.c_str(), 0);
    channel->interfaceHandlerRef = io_AddNumericPushHandler(path.c_str(), HandleInterface8i8oPush, channel);

    path = ChannelPath("digital_output", n);
    if (CreateChannelOutput(path.c_str(), IO_DATA_TYPE_BOOLEAN, "Failed to create Data Hub Output Numeric %s", digit))
        io_SetBooleanDefault(path.c_str(), false);
    channel->outputHandlerRef = io_AddBooleanPushHandler(path.c_str(), HandleOutput8i8oPush, channel);

    path = ChannelPath("h_to_l", n);
    if (CreateChannelOutput(path.c_str(), IO_DATA_TYPE_NUMERIC, "Failed to create Data Hub HL Numeric %s", digit))
        io_SetNumericDefault(path.c_str(), 0);
    channel->thresholdHtoLHandlerRef = io_AddNumericPushHandler(path.c_str(), HandleThresholdHtoL8i8oPush, channel);

    path = ChannelPath("l_to_h", n);
    if (CreateChannelOutput(path.c_str(), IO_DATA_TYPE_NUMERIC, "Failed to create Data Hub HL Numeric %s", digit))
        io_SetNumericDefault(path.c_str(), 100);
    channel->thresholdLtoHHandlerRef = io_AddNumericPushHandler(path.c_str(), HandleThresholdLtoH8i8oPush, channel);
}

void WriteThreshold(const Input8i8o_t* channel, double percent, uint8_t reg)
{
    double raw = channel->interface == 1 ? percent / 100 * (ThresholdFullScale - LiveZero) + LiveZero
                                         : percent / 100 * ThresholdFullScale;
    uint16_t value = static_cast<uint16_t>(ToUnsigned32(raw) & 0xFFFF);
    Send(WriteSingleRegister, reg, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF));
}

void WriteOutput(const Input8i8o_t* channel, bool on)
{
    Send(WriteSingleCoil, static_cast<uint8_t>(channel->channel - 1), on ? 0xFF : 0x00, 0x00);
}

uint8_t HtoLRegister(const Input8i8o_t* channel)
{
    return static_cast<uint8_t>(2 * channel->channel + 10);
}

uint8_t LtoHRegister(const Input8i8o_t* channel)
{
    return static_cast<uint8_t>(2 * channel->channel + 11);
}

// What the Data Hub holds for the outputs and thresholds, sent to a board that has just been given
// its address: whatever was pushed while there was none (and so not sent) reaches it now.
void SendSettings(void)
{
    for (int n = 1; n <= 8; n++)
    {
        const Input8i8o_t* channel = Channels[n - 1];
        bool on = false;
        if (io_GetBoolean(ChannelPath("digital_output", n).c_str(), nullptr, &on) == LE_OK) WriteOutput(channel, on);
        double percent = 0;
        if (io_GetNumeric(ChannelPath("h_to_l", n).c_str(), nullptr, &percent) == LE_OK)
            WriteThreshold(channel, percent, HtoLRegister(channel));
        if (io_GetNumeric(ChannelPath("l_to_h", n).c_str(), nullptr, &percent) == LE_OK)
            WriteThreshold(channel, percent, LtoHRegister(channel));
    }
    LE_INFO("Board 8i8o: outputs and thresholds sent to slave %u", BoardSettings8i8o.address);
}

// Only the answer to the board's own poll is the board's data: the request it came for is the
// poll, and it is of the poll answer's shape (slave, function, byte count and length). Another
// client's request, or another slave, gets answers of the same function.
bool IsPollAnswer(const uint8_t* answer, size_t size)
{
    const uint8_t address = BoardSettings8i8o.address;
    if (address == 0 || size != BOARD8I8O_ANSWER_SIZE || answer[0] != address || answer[1] != ReadHoldingRegisters ||
        answer[2] != 2 * PollCount)
        return false;
    size_t length = 0;
    const uint8_t* request = ModbusAnsweredRequest(&length);
    const uint8_t poll[6] = {address, ReadHoldingRegisters, 0x00, PollStart, 0x00, PollCount};
    return request != nullptr && length == 8 && memcmp(request, poll, sizeof(poll)) == 0;
}
}

void InitBoard8i8o(void)
{
    le_EModbus_Start();
    BoardSettings8i8o.receiveHandlerRef = le_EModbus_AddOnReceiveHandler(DataReceive, &BoardSettings8i8o);

    CreateSetting("addon/modbus_interval", "s", 5, "Failed to create Interval", nullptr, nullptr);
    CreateSetting("addon/modbus_address", "", 0, "Failed to create Settings Address", HandleSettingsAddress8i8oPush,
                  &BoardSettings8i8o.addressHandlerRef);
    CreateSetting("addon/modbus_baudrate", "", 0, "Failed to create Boundrate", HandleBoundrate8i8oPush,
                  &BoardSettings8i8o.baudRateHandlerRef);

    for (int n = 1; n <= 8; n++) BuildChannel(n);

    TimerRef = le_timer_Create("Tme");
    le_timer_SetMsInterval(TimerRef, BOARD8I8O_POLL_MS);
    le_timer_SetRepeat(TimerRef, 0);
    le_timer_SetHandler(TimerRef, Timer);
    le_timer_Start(TimerRef);
    BoardSettings8i8o.intervalHandlerRef =
        io_AddNumericPushHandler("addon/modbus_interval", HandleInterval8i8oPush, &BoardSettings8i8o);
}

void Timer(le_timer_Ref_t timerRef)
{
    LE_UNUSED(timerRef);
    Send(ReadHoldingRegisters, PollStart, 0x00, PollCount);
}

void DataReceive(const uint8_t* answer, size_t size, void* contextPtr)
{
    LE_UNUSED(contextPtr);
    if (size < 2 || answer[1] != ReadHoldingRegisters) return;
    if (!IsPollAnswer(answer, size))
    {
        LE_INFO("Answer of %zu bytes from slave %u is not the board's poll answer: not decoded", size, answer[0]);
        return;
    }
    for (int n = 1; n <= 8; n++)
    {
        const Input8i8o_t* channel = Channels[n - 1];
        uint8_t high = answer[2 * n + 5];
        uint8_t low = answer[2 * n + 6];
        double percent;
        if (channel->interface == 1)
        {
            percent = ((high * 256.0 + low) - LiveZero) * 100 / (FullScale - LiveZero);
            if (percent < 0) percent = 0;
        }
        else
        {
            percent = ((high & 0x03) * 256.0 + low) * 100 / FullScale;
        }
        io_PushNumeric(channel->analogPath, 0, percent);
        io_PushBoolean(channel->digitalPath, 0, ((answer[4] >> (n - 1)) & 1) != 0);
    }
    LE_INFO("Values Pushed.");
}

void HandleOutput8i8oPush(double timestamp, bool value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    const Input8i8o_t* channel = static_cast<const Input8i8o_t*>(contextPtr);
    if (channel == nullptr) return;
    WriteOutput(channel, value);
}

void HandleThresholdHtoL8i8oPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    const Input8i8o_t* channel = static_cast<const Input8i8o_t*>(contextPtr);
    if (channel == nullptr) return;
    WriteThreshold(channel, value, HtoLRegister(channel));
}

void HandleThresholdLtoH8i8oPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    const Input8i8o_t* channel = static_cast<const Input8i8o_t*>(contextPtr);
    if (channel == nullptr) return;
    WriteThreshold(channel, value, LtoHRegister(channel));
}

void HandleSettingsAddress8i8oPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    LE_UNUSED(contextPtr);
    uint8_t address = static_cast<uint8_t>(ToUnsigned32(value) & 0xFF);
    bool changed = address != BoardSettings8i8o.address;
    BoardSettings8i8o.address = address;
    if (changed && address != 0) SendSettings();
}

void HandleInterface8i8oPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    Input8i8o_t* channel = static_cast<Input8i8o_t*>(contextPtr);
    if (channel != nullptr) channel->interface = ToSigned32(value);
}

void HandleInterval8i8oPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    LE_UNUSED(contextPtr);
    uint32_t ms = ToUnsigned32(value * 1000);
    if (ms == 0) return;
    LE_INFO("Set Timer");
    if (TimerRef != nullptr) le_timer_SetMsInterval(TimerRef, ms);
}

void HandleBoundrate8i8oPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    LE_UNUSED(contextPtr);
    if (le_EModbus_SetBaudRate(ToUnsigned32(value)) != LE_OK) return;
    LE_INFO("Baud Rate.");
    if (TimerRef != nullptr) le_timer_Stop(TimerRef);
    le_EModbus_Stop();
    le_EModbus_Start();
    if (TimerRef != nullptr) le_timer_Start(TimerRef);
}

void DeleteEventsBoard8i8o(void)
{
    for (Input8i8o_t* channel : Channels)
    {
        RemovePushHandler(channel->interfaceHandlerRef, io_RemoveNumericPushHandler);
        RemovePushHandler(channel->outputHandlerRef, io_RemoveBooleanPushHandler);
        RemovePushHandler(channel->thresholdHtoLHandlerRef, io_RemoveNumericPushHandler);
        RemovePushHandler(channel->thresholdLtoHHandlerRef, io_RemoveNumericPushHandler);
    }
    RemovePushHandler(BoardSettings8i8o.baudRateHandlerRef, io_RemoveNumericPushHandler);
    RemovePushHandler(BoardSettings8i8o.intervalHandlerRef, io_RemoveNumericPushHandler);
    RemovePushHandler(BoardSettings8i8o.addressHandlerRef, io_RemoveNumericPushHandler);
    RemovePushHandler(BoardSettings8i8o.receiveHandlerRef, le_EModbus_RemoveOnReceiveHandler);
}

void DeleteMainResourcesBoard8i8o(void)
{
    LE_INFO("Clear Main Resources Board8i8o.");
    if (TimerRef != nullptr)
    {
        le_timer_Stop(TimerRef);
        le_timer_Delete(TimerRef);
        TimerRef = nullptr;
    }
    le_EModbus_Stop();
    DeleteEventsBoard8i8o();
    io_DeleteResource("addon/modbus_interval");
    io_DeleteResource("addon/modbus_address");
    io_DeleteResource("addon/modbus_baudrate");
    for (int n = 1; n <= 8; n++)
    {
        for (const char* leaf :
             {"analog_input", "digital_input", "modbus_interface", "digital_output", "h_to_l", "l_to_h"})
        {
            io_DeleteResource(ChannelPath(leaf, n).c_str());
        }
    }
}
