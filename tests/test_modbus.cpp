// The Modbus RTU master on a pseudo-terminal: requests and their CRC on the wire, answer assembly,
// delivery, the anti-lock timer and the link's life cycle, on the virtual clock.
#include "Modbus.h"
#include "component_fixture.h"

#include <cstring>
#include <unistd.h>

namespace
{
typedef std::vector<uint8_t> Bytes;

struct Delivery
{
    int handler;
    Bytes answer;
};
std::vector<Delivery> Deliveries;

void FirstHandler(const uint8_t* answer, size_t size, void* context)
{
    Deliveries.push_back({*static_cast<int*>(context), Bytes(answer, answer + size)});
}

// Appends the CRC, low byte first.
Bytes WithCrc(Bytes frame)
{
    uint16_t crc = CRC(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

// A function-3 answer from slave 1 carrying the given number of data bytes.
Bytes ReadAnswer(uint8_t byteCount, uint8_t first = 0x10)
{
    Bytes a = {0x01, 0x03, byteCount};
    for (uint8_t i = 0; i < byteCount; i++) a.push_back(static_cast<uint8_t>(first + i));
    return WithCrc(a);
}

const Bytes ReadRequest = {0x01, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00};

class ModbusTest : public PortTest
{
protected:
    ModbusTest() : PortTest("/dev/ttyHS1") {}

    int one = 1, two = 2;

    void SetUp() override
    {
        PortTest::SetUp();
        Deliveries.clear();
    }

    void TearDown() override
    {
        le_EModbus_Stop();
        PortTest::TearDown();
    }

    // Feeds bytes and waits until the link has taken them (the pty is empty again).
    void FeedAndSettle(const Bytes& bytes)
    {
        Feed(bytes);
        Settle();
    }

    void StartWithHandler()
    {
        le_EModbus_Start();
        ASSERT_NE(le_EModbus_AddOnReceiveHandler(FirstHandler, &one), nullptr);
    }

    // Queues a request and waits until its bytes are on the wire.
    void SendAndWait(const Bytes& request)
    {
        size_t before = sent.size();
        ASSERT_EQ(le_EModbus_SendRequest(request.data(), request.size()), LE_OK);
        ASSERT_TRUE(Pump([&] { return sent.size() >= before + request.size(); }));
    }
};
}

//--------------------------------------------------------------------------------------------------
// CRC and requests on the wire
//--------------------------------------------------------------------------------------------------
TEST_F(ModbusTest, RequestsGoOutOneAtATimeWithTheCrcInTheirLastTwoBytes)
{
    const char* digits = "123456789";
    EXPECT_EQ(CRC(reinterpret_cast<const uint8_t*>(digits), 9), 0x4B37);   // the CRC's check value
    EXPECT_EQ(CRC(nullptr, 0), 0xFFFF);
    StartWithHandler();
    Bytes big(256);
    for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<uint8_t>(i);
    // A read; write multiple registers (function 16), 9 bytes and the CRC; the largest; the smallest.
    const Bytes requests[] = {ReadRequest, {0x01, 0x10, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x07, 0x00, 0x00}, big,
                              {0x01, 0x07, 0x00, 0x00}};
    for (const Bytes& request : requests) ASSERT_EQ(le_EModbus_SendRequest(request.data(), request.size()), LE_OK);
    for (size_t i = 0; i < 4; i++)
    {
        const Bytes& request = requests[i];
        ASSERT_TRUE(Pump([&] { return sent.size() >= request.size(); })) << i;
        Settle();
        EXPECT_EQ(sent, WithCrc(Bytes(request.begin(), request.end() - 2))) << i;   // the next waits
        EXPECT_EQ(ModbusQueuedRequests(), 4 - i);
        EXPECT_EQ(CountMessages("XXXXXXXXXXX   Request Sent  XXXXXXXXXXXXXXX"), i + 1);
        if (i == 0)
        {
            EXPECT_EQ(sent, Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x08, 0x44, 0x0C}));
            EXPECT_EQ(CountMessages("Enabled"), 1u);
            EXPECT_EQ(CountMessages("Disabled"), 1u);
        }
        sent.clear();
        if (i == 0) FeedAndSettle(ReadAnswer(16));
        if (i > 0) le_event_AdvanceMs(3000);   // unanswered: dropped
    }
    EXPECT_EQ(Deliveries.size(), 1u);
    // Too long, no room for address, function and CRC, nothing.
    Bytes tooBig(257, 0x01);
    EXPECT_EQ(le_EModbus_SendRequest(tooBig.data(), tooBig.size()), LE_FAULT);
    EXPECT_EQ(le_EModbus_SendRequest(big.data(), 3), LE_FAULT);
    EXPECT_EQ(le_EModbus_SendRequest(big.data(), 0), LE_FAULT);
    EXPECT_EQ(le_EModbus_SendRequest(nullptr, 8), LE_FAULT);
    EXPECT_EQ(ModbusQueuedRequests(), 0u);
}

//--------------------------------------------------------------------------------------------------
// Answers
//--------------------------------------------------------------------------------------------------
TEST_F(ModbusTest, EveryStandardAnswerAndAnExceptionCompleteAtExactlyTheirOwnLength)
{
    StartWithHandler();
    const Bytes answers[] = {
        ReadAnswer(16),                                              // read holding registers, 21 bytes
        WithCrc({0x01, 0x01, 0x02, 0x05, 0x01}),                     // read coils
        WithCrc({0x01, 0x02, 0x01, 0x80}),                           // read discrete inputs
        WithCrc({0x01, 0x04, 0x04, 0x00, 0x07, 0x12, 0x34}),         // read input registers
        WithCrc({0x01, 0x05, 0x00, 0x02, 0xFF, 0x00}),               // write single coil
        WithCrc({0x01, 0x0F, 0x00, 0x00, 0x00, 0x0A}),               // write multiple coils
        WithCrc({0x01, 0x10, 0x00, 0x00, 0x00, 0x02}),               // write multiple registers
        WithCrc({0x01, 0x16, 0x00, 0x04, 0x00, 0xF2, 0x00, 0x25}),   // mask write register
        WithCrc({0x01, 0x17, 0x02, 0x00, 0x2A}),                     // read/write multiple registers
        WithCrc({0x01, 0x83, 0x02}),                                 // exception: illegal data address
    };
    for (const Bytes& answer : answers)
    {
        size_t delivered = Deliveries.size();
        SendAndWait(ReadRequest);
        // In three pieces: too short to tell the length from, all but the last byte, the last.
        FeedAndSettle(Bytes(answer.begin(), answer.begin() + 2));
        FeedAndSettle(Bytes(answer.begin() + 2, answer.end() - 1));
        EXPECT_EQ(Deliveries.size(), delivered) << int(answer[1]);
        EXPECT_EQ(ModbusQueuedRequests(), 1u);
        FeedAndSettle(Bytes(answer.end() - 1, answer.end()));
        ASSERT_EQ(Deliveries.size(), delivered + 1) << int(answer[1]);   // at once, not after the timer
        EXPECT_EQ(Deliveries.back().answer, answer);
        EXPECT_EQ(ModbusQueuedRequests(), 0u);
    }
    EXPECT_EQ(CountMessages("XXXXXXXXXXX   Frame OK  XXXXXXXXXXXXXX"), 10u);
    EXPECT_EQ(CountMessages("XXXXXXXXXXX   CRC OK  XXXXXXXXXXXXXX"), 10u);
    EXPECT_EQ(CountMessages("XXXXXXXXXXXX   Bytes Received  XXXXXXXXXXXXXXX"), 30u);
}

TEST_F(ModbusTest, BadCrcOrOverflowReachesNoHandlerAndTheRequestIsNotRetried)
{
    StartWithHandler();
    SendAndWait(ReadRequest);
    ASSERT_EQ(le_EModbus_SendRequest(ReadRequest.data(), ReadRequest.size()), LE_OK);
    Bytes answer = ReadAnswer(4);
    answer.back() ^= 0x01;   // the CRC's high byte
    FeedAndSettle(answer);
    EXPECT_TRUE(Deliveries.empty());
    EXPECT_EQ(CountMessages("XXXXXXXXXXX  CRC Error  XXXXXXXXXXXXXXX"), 1u);
    EXPECT_EQ(ModbusQueuedRequests(), 1u);   // the second went out instead of a retry
    ASSERT_TRUE(Pump([&] { return sent.size() >= 16; }));
    EXPECT_EQ(CountMessages("XXXXXXXXXXX   Request Sent  XXXXXXXXXXXXXXX"), 2u);

    // More than an answer holds (function 1 never completes: 260 > 254): the request is dropped.
    FeedAndSettle(Bytes(200, 0x01));
    FeedAndSettle(Bytes(60, 0x01));
    EXPECT_EQ(CountMessages("XXXXXXXXXXX  Wrong Number Of Bytes  XXXXXXXXXXXXXXX"), 1u);
    EXPECT_EQ(ModbusQueuedRequests(), 0u);
    SendAndWait(ReadRequest);
    FeedAndSettle(ReadAnswer(16));
    EXPECT_EQ(Deliveries.size(), 1u);
}

namespace
{
le_EModbus_ReceiveHandlerRef_t Victim = nullptr;
void RemovingHandler(const uint8_t* answer, size_t size, void* context)
{
    FirstHandler(answer, size, context);
    le_EModbus_RemoveOnReceiveHandler(Victim);
    Victim = nullptr;
}

void StoppingHandler(const uint8_t* answer, size_t size, void* context)
{
    FirstHandler(answer, size, context);
    le_EModbus_Stop();
    le_EModbus_Start();
    uint8_t request[8] = {0x02, 0x03, 0x00, 0x2F, 0x00, 0x0A, 0, 0};
    le_EModbus_SendRequest(request, sizeof(request));
}
}

TEST_F(ModbusTest, HandlersHearEachGoodAnswerInOrderAndMayRemoveAnotherOrRestartTheLink)
{
    StartWithHandler();
    le_EModbus_ReceiveHandlerRef_t second = le_EModbus_AddOnReceiveHandler(FirstHandler, &two);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(CountMessages("Handler Next Added"), 1u);
    SendAndWait(ReadRequest);
    FeedAndSettle(WithCrc({0x01, 0x05, 0x00, 0x02, 0xFF, 0x00}));
    ASSERT_EQ(Deliveries.size(), 2u);
    EXPECT_EQ(Deliveries[0].handler, 1);
    EXPECT_EQ(Deliveries[1].handler, 2);
    EXPECT_EQ(Deliveries[0].answer, Deliveries[1].answer);
    EXPECT_EQ(CountMessages("----"), 2u);

    // An unknown reference changes nothing; a removed handler hears nothing more.
    le_EModbus_RemoveOnReceiveHandler(reinterpret_cast<le_EModbus_ReceiveHandlerRef_t>(&one));
    le_EModbus_RemoveOnReceiveHandler(second);
    SendAndWait(ReadRequest);
    FeedAndSettle(ReadAnswer(2));
    ASSERT_EQ(Deliveries.size(), 3u);
    EXPECT_EQ(Deliveries[2].handler, 1);

    // A handler removes the next one while the answer is delivered: that one is skipped.
    int zero = 0;
    ASSERT_NE(le_EModbus_AddOnReceiveHandler(RemovingHandler, &zero), nullptr);
    Victim = le_EModbus_AddOnReceiveHandler(FirstHandler, &two);
    SendAndWait(ReadRequest);
    FeedAndSettle(ReadAnswer(2));
    ASSERT_EQ(Deliveries.size(), 5u);
    EXPECT_EQ(Deliveries[3].handler, 1);
    EXPECT_EQ(Deliveries[4].handler, 0);

    // A handler that restarts the link and queues anew keeps its new request.
    ASSERT_NE(le_EModbus_AddOnReceiveHandler(StoppingHandler, &two), nullptr);
    sent.clear();
    SendAndWait(ReadRequest);
    FeedAndSettle(ReadAnswer(2));
    EXPECT_EQ(ModbusQueuedRequests(), 1u);
    ASSERT_TRUE(Pump([&] { return sent.size() >= 16; }));
    EXPECT_EQ(Bytes(sent.end() - 8, sent.end()), WithCrc({0x02, 0x03, 0x00, 0x2F, 0x00, 0x0A}));
}

//--------------------------------------------------------------------------------------------------
// Anti-lock timer
//--------------------------------------------------------------------------------------------------
TEST_F(ModbusTest, UnansweredRequestIsDroppedBetweenOneAndAHalfAndThreeSeconds)
{
    StartWithHandler();
    // Sent at different points of the timer's period.
    for (uint64_t offset : {0u, 100u, 1400u, 1499u})
    {
        le_event_AdvanceMs(offset);
        SendAndWait(ReadRequest);
        uint64_t sentAt = le_clk_NowMs();
        while (ModbusQueuedRequests() > 0 && le_clk_NowMs() - sentAt < 5000) le_event_AdvanceMs(1);
        uint64_t waited = le_clk_NowMs() - sentAt;
        EXPECT_GE(waited, 1500u) << "offset " << offset;
        EXPECT_LE(waited, 3000u) << "offset " << offset;
    }
    EXPECT_TRUE(Deliveries.empty());
    // The late answer still reaches the handlers, and the next answer still completes.
    FeedAndSettle(ReadAnswer(16));
    ASSERT_EQ(Deliveries.size(), 1u);
    SendAndWait(ReadRequest);
    FeedAndSettle(ReadAnswer(16, 0x40));
    ASSERT_EQ(Deliveries.size(), 2u);
    EXPECT_EQ(Deliveries[1].answer, ReadAnswer(16, 0x40));

    // Bytes that keep coming hold the request: each clears the flag a tick set (function 0x11
    // has no length the link knows, so they never complete an answer).
    SendAndWait(ReadRequest);
    for (int i = 0; i < 6; i++)
    {
        le_event_AdvanceMs(1000);
        FeedAndSettle({0x11});
    }
    EXPECT_EQ(ModbusQueuedRequests(), 1u);
    le_event_AdvanceMs(3000);
    EXPECT_EQ(ModbusQueuedRequests(), 0u);
}

//--------------------------------------------------------------------------------------------------
// Life cycle and settings
//--------------------------------------------------------------------------------------------------
TEST_F(ModbusTest, NothingIsAcceptedWhileStoppedOrUnopenedAndHandlersSurviveARestart)
{
    EXPECT_EQ(le_EModbus_SendRequest(ReadRequest.data(), ReadRequest.size()), LE_FAULT);
    EXPECT_EQ(le_EModbus_AddOnReceiveHandler(FirstHandler, &one), nullptr);   // before the first start
    le_EModbus_Stop();   // a closed link: nothing happens
    EXPECT_EQ(CountMessages("Modbus Stop."), 0u);

    // A port that will not open is logged and refuses requests; no timer runs for it.
    pa_path_ClearMappings();
    ASSERT_EQ(pa_path_AddMapping("/dev", dir.File("dev").c_str()), LE_OK);   // no ttyHS1 there
    le_EModbus_Start();
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_INFO, "Modbus Start failed: cannot open /dev/ttyHS1"), 1u);
    EXPECT_EQ(le_EModbus_SendRequest(ReadRequest.data(), ReadRequest.size()), LE_FAULT);
    ASSERT_NE(le_EModbus_AddOnReceiveHandler(FirstHandler, &one), nullptr);
    le_event_AdvanceMs(5000);
    // A later start retries; a second start does nothing more.
    ASSERT_EQ(pa_path_AddMapping("/dev/ttyHS1", ptsname(pty.master)), LE_OK);
    le_EModbus_Start();
    le_EModbus_Start();
    EXPECT_EQ(CountMessages("Modbus Start."), 1u);

    for (int i = 0; i < 3; i++) ASSERT_EQ(le_EModbus_SendRequest(ReadRequest.data(), ReadRequest.size()), LE_OK);
    le_EModbus_Stop();
    le_EModbus_Stop();
    EXPECT_EQ(ModbusQueuedRequests(), 0u);
    EXPECT_EQ(CountMessages("Cleared"), 2u);
    EXPECT_EQ(CountMessages("Modbus Stop."), 1u);
    // While stopped, requests are refused rather than left for a monitor that no longer exists.
    EXPECT_EQ(le_EModbus_SendRequest(ReadRequest.data(), ReadRequest.size()), LE_FAULT);
    EXPECT_EQ(ModbusQueuedRequests(), 0u);
    le_event_AdvanceMs(5000);

    le_EModbus_Start();
    Collect();
    sent.clear();
    SendAndWait(ReadRequest);
    FeedAndSettle(ReadAnswer(16));
    EXPECT_EQ(Deliveries.size(), 1u);   // the handler registered before the first start that worked
}

TEST_F(ModbusTest, BaudRateTakesEffectAtTheNextStart)
{
    le_EModbus_Start();
    EXPECT_EQ(ModbusPortSpeed(), LE_TTY_SPEED_9600);
    EXPECT_EQ(le_EModbus_SetBaudRate(9600), LE_DUPLICATE);
    for (uint32_t baud : {1200u, 0u, 921600u}) EXPECT_EQ(le_EModbus_SetBaudRate(baud), LE_BAD_PARAMETER) << baud;
    EXPECT_EQ(le_EModbus_SetBaudRate(19200), LE_OK);
    EXPECT_EQ(ModbusPortSpeed(), LE_TTY_SPEED_9600);
    EXPECT_EQ(le_EModbus_SetBaudRate(19200), LE_DUPLICATE);
    le_EModbus_Stop();
    le_EModbus_Start();
    EXPECT_EQ(ModbusPortSpeed(), LE_TTY_SPEED_19200);
    for (uint32_t baud : {2400u, 4800u, 38400u, 57600u, 115200u, 230400u, 460800u})
    {
        EXPECT_EQ(le_EModbus_SetBaudRate(baud), LE_OK) << baud;
    }
    le_EModbus_Stop();
    le_EModbus_Start();
    EXPECT_EQ(ModbusPortSpeed(), LE_TTY_SPEED_460800);
}

