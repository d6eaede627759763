// The 8-input/8-output Modbus board binding on a pseudo-terminal and the virtual clock: what it
// sends (polls, coil and threshold writes, byte for byte with their CRC), what it makes of the
// board's answers, its settings and its teardown.
#include "ModbusBoard8i8oOctave.h"
#include "component_fixture.h"

#include <cmath>
#include <cstring>

namespace
{
typedef std::vector<uint8_t> Bytes;

Bytes WithCrc(Bytes frame)
{
    uint16_t crc = CRC(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

// The answer to a poll from slave 1: register 47 (its low byte the digital inputs), register 48,
// then the eight analogue registers.
Bytes PollAnswer(uint8_t inputs, const std::vector<uint16_t>& analog)
{
    Bytes a = {0x01, 0x03, 0x14, 0x00, inputs, 0x12, 0x34};
    for (uint16_t v : analog)
    {
        a.push_back(static_cast<uint8_t>(v >> 8));
        a.push_back(static_cast<uint8_t>(v & 0xFF));
    }
    return WithCrc(a);
}

const Bytes Poll1 = {0x01, 0x03, 0x00, 0x2F, 0x00, 0x0A, 0xF4, 0x04};

class BoardTest : public PortTest
{
protected:
    BoardTest() : PortTest("/dev/ttyHS1") {}

    void TearDown() override
    {
        le_EModbus_Stop();
        PortTest::TearDown();
    }

    // The next 8-byte request on the wire (empty when none comes).
    Bytes NextRequest()
    {
        if (!Pump([&] { return sent.size() >= 8; })) return {};
        Bytes request(sent.begin(), sent.begin() + 8);
        sent.erase(sent.begin(), sent.begin() + 8);
        return request;
    }

    // Answers every queued write with its echo, as the board does, until nothing waits.
    void EchoWrites()
    {
        while (ModbusQueuedRequests() > 0)
        {
            Bytes request = NextRequest();
            ASSERT_EQ(request.size(), 8u);
            ASSERT_TRUE(request[1] == 0x05 || request[1] == 0x06) << int(request[1]);
            Feed(request);
            Settle();
        }
    }

    // The next request must be the write; the board echoes it.
    void ExpectWrite(const Bytes& expected)
    {
        Bytes request = NextRequest();
        EXPECT_EQ(request, expected);
        if (request.empty()) return;
        Feed(request);
        Settle();
    }

    // Builds the board (add-on type 5) on the add-on-only board, sets slave address 1 and answers
    // the writes of the outputs' and thresholds' defaults.
    void Build()
    {
        Boot("addon");
        Push("settings/addon_type", "5");
        Push("addon/modbus_address", "1");
        EchoWrites();
    }

    // Polls once (the timer's next expiry) and answers.
    void PollWith(const Bytes& answer)
    {
        le_event_AdvanceMs(le_timer_GetMsInterval(TimerRef));
        ASSERT_EQ(NextRequest(), Poll1);
        Feed(answer);
        Settle();
    }

    double Number(const char* path) { return atof(Value(path).c_str()); }
};
}

// Nothing is broadcast before the slave address is set; the build then polls on its timer at the
// interval and speed set.
TEST_F(BoardTest, TheBuildWaitsForTheSlaveAddressThenPollsAtTheIntervalAndSpeedSet)
{
    Boot("addon");
    Push("settings/addon_type", "5");
    // The defaults of the outputs and thresholds would have gone to every slave on the bus.
    EXPECT_EQ(ModbusQueuedRequests(), 0u);
    EXPECT_EQ(CountMessages("Board 8i8o: no slave address set; function 5 request not sent"), 8u);
    EXPECT_EQ(CountMessages("Board 8i8o: no slave address set; function 6 request not sent"), 16u);
    le_event_AdvanceMs(5000);
    EXPECT_EQ(CountMessages("Board 8i8o: no slave address set; function 3 request not sent"), 1u);
    Collect();
    EXPECT_TRUE(sent.empty());
    const std::pair<const char*, const char*> defaults[] = {{"addon/modbus_interval", "5"}, {"addon/l_to_h4", "100"},
                                                            {"addon/h_to_l4", "0"}, {"addon/digital_output8", "false"},
                                                            {"addon/modbus_interface2", "0"}};
    for (const auto& d : defaults) EXPECT_EQ(Value(d.first), d.second) << d.first;
    dhub_ResourceInfo_t info;
    ASSERT_NE(dhub_GetInfo("addon/analog_input8", &info, nullptr, 0), LE_NOT_FOUND);
    EXPECT_TRUE(info.kind == DHUB_KIND_INPUT && std::string(info.units) == "percent");
    ASSERT_NE(dhub_GetInfo("addon/digital_input1", &info, nullptr, 0), LE_NOT_FOUND);
    EXPECT_EQ(info.dataType, IO_DATA_TYPE_BOOLEAN);

    // What was pushed meanwhile reaches the board once it has an address, with the rest of what
    // the Data Hub shows: per channel its coil and its two thresholds.
    Push("addon/digital_output2", "true");
    Push("addon/modbus_address", "257");   // low 8 bits
    EXPECT_EQ(BoardSettings8i8o.address, 1);
    EXPECT_EQ(ModbusQueuedRequests(), 24u);
    ExpectWrite(WithCrc({0x01, 0x05, 0x00, 0x00, 0x00, 0x00}));
    ExpectWrite(WithCrc({0x01, 0x06, 0x00, 0x0C, 0x00, 0x00}));
    ExpectWrite(WithCrc({0x01, 0x06, 0x00, 0x0D, 0x03, 0xD5}));   // 100 %: 981
    ExpectWrite(WithCrc({0x01, 0x05, 0x00, 0x01, 0xFF, 0x00}));
    EchoWrites();
    Push("addon/modbus_address", "1");   // the same address: nothing more
    EXPECT_EQ(ModbusQueuedRequests(), 0u);
    // The interval's default (5 s), delivered once its handler is registered, sets the timer.
    ASSERT_NE(TimerRef, nullptr);
    le_event_AdvanceMs(4999);
    EXPECT_TRUE(NextRequest().empty());
    le_event_AdvanceMs(1);
    EXPECT_EQ(NextRequest(), Poll1);

    // Intervals of 0 and below are refused.
    for (const char* interval : {"2.5", "0", "-3"})
    {
        Push("addon/modbus_interval", interval);
        EXPECT_EQ(le_timer_GetMsInterval(TimerRef), 2500u) << interval;
    }
    // The stored speed again: refused by the link, which keeps running.
    Push("addon/modbus_baudrate", "9600");
    EXPECT_EQ(CountMessages("Baud Rate."), 0u);
    EXPECT_EQ(ModbusPortSpeed(), LE_TTY_SPEED_9600);
    EXPECT_TRUE(le_timer_IsRunning(TimerRef));
    Push("addon/modbus_baudrate", "19200");
    EXPECT_EQ(CountMessages("Baud Rate."), 1u);
    EXPECT_EQ(ModbusPortSpeed(), LE_TTY_SPEED_19200);
    EXPECT_TRUE(le_timer_IsRunning(TimerRef));
    Collect();
    sent.clear();
    le_event_AdvanceMs(2500);
    EXPECT_EQ(NextRequest(), Poll1);

    // Built again, the kept address arrives before the defaults, which then reach the board.
    Push("settings/addon_type", "5");
    EXPECT_EQ(ModbusQueuedRequests(), 24u);
    ExpectWrite(WithCrc({0x01, 0x05, 0x00, 0x00, 0x00, 0x00}));
}

// Outputs and thresholds become write requests; of the answers only the board's own poll's is decoded,
// each channel scaled by its interface.
TEST_F(BoardTest, WritesGoOutAndOnlyTheAnswerToTheBoardsOwnPollIsDecoded)
{
    Build();
    struct Row { const char* path; const char* value; Bytes write; };   // no write for an empty one
    const Row rows[] = {
        {"addon/digital_output3", "true", {0x01, 0x05, 0x00, 0x02, 0xFF, 0x00}},
        {"addon/digital_output3", "false", {0x01, 0x05, 0x00, 0x02, 0x00, 0x00}},
        {"addon/l_to_h1", "50", {0x01, 0x06, 0x00, 0x0D, 0x01, 0xEA}},   // 490
        {"addon/modbus_interface1", "1", {}},
        {"addon/l_to_h1", "50", {0x01, 0x06, 0x00, 0x0D, 0x02, 0x4D}},   // 589 over the live-zero span
        {"addon/h_to_l8", "-20", {0x01, 0x06, 0x00, 0x1A, 0x00, 0x00}},  // negative: 0
        {"addon/h_to_l8", "10000", {0x01, 0x06, 0x00, 0x1A, 0x7F, 0x3C}},   // 98108: its low 16 bits
    };
    for (const Row& row : rows)
    {
        Push(row.path, row.value);
        if (row.write.empty()) continue;
        ExpectWrite(WithCrc(row.write));
    }
    EXPECT_EQ(ModbusQueuedRequests(), 0u);

    Bytes nine = PollAnswer(0xFF, {0, 0, 0, 0, 0, 0, 0, 0});
    nine.resize(nine.size() - 4);   // nine registers: channel 8 would be read from the CRC
    nine[2] = 18;
    nine = WithCrc(Bytes(nine.begin(), nine.end()));
    Bytes otherSlave = PollAnswer(0xFF, {0, 0, 0, 0, 0, 0, 0, 0});
    otherSlave[0] = 2;
    otherSlave = WithCrc(Bytes(otherSlave.begin(), otherSlave.end() - 2));
    for (const Bytes& answer : {WithCrc({0x01, 0x03, 0x02, 0x00, 0xFF}), nine, otherSlave})
    {
        PollWith(answer);
        EXPECT_EQ(CountMessages("Values Pushed."), 0u) << answer.size();
    }
    EXPECT_EQ(CountLinesWith("Answer of 23 bytes from slave 1 is not the board's poll answer", ""), 1u);

    // Another client's request of the same shape gets an answer of the poll answer's shape.
    const Bytes foreign = {0x01, 0x03, 0x00, 0x40, 0x00, 0x0A, 0x00, 0x00};
    ASSERT_EQ(le_EModbus_SendRequest(foreign.data(), foreign.size()), LE_OK);
    EXPECT_EQ(NextRequest(), WithCrc({0x01, 0x03, 0x00, 0x40, 0x00, 0x0A}));
    Feed(PollAnswer(0xFF, {0, 0, 0, 0, 0, 0, 0, 0}));
    Settle();
    // And one that comes with no request on the line.
    Feed(PollAnswer(0xFF, {0, 0, 0, 0, 0, 0, 0, 0}));
    Settle();
    EXPECT_EQ(CountMessages("Values Pushed."), 0u);
    EXPECT_EQ(Value("addon/digital_input1"), "");

    // What the late answer left in the buffer goes when the next request is sent.
    PollWith(PollAnswer(0xFF, {0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Value("addon/digital_input1"), "true");

    Push("addon/modbus_interface2", "1.9");   // truncated: 1; channel 1 is live-zero already
    Push("addon/modbus_interface5", "1");
    PollWith(PollAnswer(0x05, {197, 982, 1023, 0x0C00 | 491, 300, 0, 0x03FF, 1}));
    EXPECT_EQ(CountMessages("Values Pushed."), 2u);
    EXPECT_DOUBLE_EQ(Number("addon/analog_input1"), 0);   // below the live zero: clamped
    EXPECT_NEAR(Number("addon/analog_input2"), 99.99, 0.005);
    EXPECT_NEAR(Number("addon/analog_input3"), 104.17, 0.005);   // not clamped
    EXPECT_NEAR(Number("addon/analog_input4"), 491 * 100 / 982.08, 1e-9);   // the low 10 bits only
    EXPECT_NEAR(Number("addon/analog_input5"), (300 - 197.016) * 100 / (982.08 - 197.016), 1e-9);
    EXPECT_NEAR(Number("addon/analog_input7"), 104.17, 0.005);
    std::vector<std::string> inputs;
    for (int n = 1; n <= 8; n++) inputs.push_back(Value(("addon/digital_input" + std::to_string(n)).c_str()));
    EXPECT_EQ(inputs, (std::vector<std::string>{"true", "false", "true", "false", "false", "false", "false", "false"}));

    // An answer of another function changes nothing.
    Push("addon/digital_output1", "true");
    Bytes write = NextRequest();
    Feed(write);
    Settle();
    EXPECT_EQ(CountMessages("Values Pushed."), 2u);
    EXPECT_EQ(Value("addon/digital_input1"), "true");
}

// Polls while another application has stopped the link are passed over, not piled up; the teardown
// removes everything, and is harmless with nothing built.
TEST_F(BoardTest, PollsWhileTheLinkIsStoppedArePassedOverAndTheTeardownRemovesEverything)
{
    DeleteMainResourcesBoard8i8o();   // nothing built
    EXPECT_EQ(CountMessages("Clear Main Resources Board8i8o."), 1u);
    EXPECT_EQ(TimerRef, nullptr);

    Build();
    le_EModbus_Stop();   // as le_EModbus_Stop from another application does
    le_event_AdvanceMs(4 * 5000);
    EXPECT_EQ(ModbusQueuedRequests(), 0u);
    EXPECT_EQ(CountMessages("Request refused: the Modbus link is stopped"), 4u);
    Collect();
    EXPECT_TRUE(sent.empty());
    le_EModbus_Start();
    PollWith(PollAnswer(0x80, {0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Value("addon/digital_input8"), "true");

    Push("settings/addon_type", "0");
    EXPECT_EQ(TimerRef, nullptr);
    EXPECT_EQ(ModbusPortSpeed(), LE_TTY_SPEED_0);   // the link is stopped
    dhub_ResourceInfo_t info;
    for (const char* path : {"addon/modbus_interval", "addon/modbus_address", "addon/modbus_baudrate",
                             "addon/analog_input1", "addon/digital_input8", "addon/modbus_interface4",
                             "addon/digital_output5", "addon/h_to_l6", "addon/l_to_h8"})
    {
        EXPECT_EQ(dhub_GetInfo(path, &info, nullptr, 0), LE_NOT_FOUND) << path;   // no handler left either
    }
    EXPECT_EQ(BoardSettings8i8o.receiveHandlerRef, nullptr);
    EXPECT_EQ(BoardSettings8i8o.address, 1);   // settings outlive the teardown
    le_event_AdvanceMs(60000);
    Collect();
    EXPECT_TRUE(sent.empty());
}
