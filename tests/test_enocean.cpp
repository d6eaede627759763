// The EnOcean gateway on a pseudo-terminal: ESP3 receiver, transmit queue, learning, decoding,
// settings and per-sensor resources, on the virtual clock.
#include "EnOcean.h"
#include "EnOceanOctave.h"
#include "component_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace
{
typedef std::vector<uint8_t> Bytes;

// Bitwise CRC-8 (polynomial 0x07), written independently of the gateway's table.
uint8_t Crc8(const uint8_t* p, size_t n)
{
    uint8_t crc = 0;
    for (size_t i = 0; i < n; i++)
    {
        crc ^= p[i];
        for (int b = 0; b < 8; b++) crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

Bytes Frame(uint8_t type, const Bytes& data, const Bytes& opt = {})
{
    Bytes header = {static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size() & 0xFF),
                    static_cast<uint8_t>(opt.size()), type};
    Bytes payload = data;
    payload.insert(payload.end(), opt.begin(), opt.end());
    Bytes f = {0x55};
    f.insert(f.end(), header.begin(), header.end());
    f.push_back(Crc8(header.data(), header.size()));
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(Crc8(payload.data(), payload.size()));
    return f;
}

const Bytes SubTel = {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x30, 0x00};

// A 4BS telegram from sender 01 02 03 04.
Bytes Telegram4BS(uint8_t sender0 = 0x01, uint8_t db2 = 0x7D, uint8_t db1 = 0x7D, uint8_t db0 = 0x0A)
{
    return Frame(ESP3_RADIO_ERP1, {0xA5, 0x00, db2, db1, db0, sender0, 0x02, 0x03, 0x04, 0x00}, SubTel);
}

struct Received
{
    uint8_t type;
    Bytes payload;
};
std::vector<Received> Frames;
void OnFrame(uint8_t type, const uint8_t* payload, size_t size, const char* unitId, const char* eep,
             const char* json, bool secure, void*)
{
    EXPECT_STREQ(unitId, "");
    EXPECT_STREQ(eep, "");
    EXPECT_STREQ(json, "");
    EXPECT_FALSE(secure);
    Frames.push_back({type, Bytes(payload, payload + size)});
}

class EnOceanTest : public PortTest
{
protected:
    EnOceanTest() : PortTest("/dev/ttyHS0") {}

    size_t starts = 0;   // START characters (XON) the keep-awake timer sent between frames

    // The frames written to the port, without the START characters between them.
    Bytes Sent()
    {
        Bytes frames;
        starts = 0;
        for (size_t i = 0; i < sent.size();)
        {
            if (sent[i] == 0x11)
            {
                starts++;
                i++;
                continue;
            }
            size_t length = 1;
            if (sent[i] == 0x55 && i + 6 <= sent.size())
            {
                length = 7 + ((static_cast<size_t>(sent[i + 1]) << 8) | sent[i + 2]) + sent[i + 3];
            }
            length = std::min(length, sent.size() - i);
            frames.insert(frames.end(), sent.begin() + i, sent.begin() + i + length);
            i += length;
        }
        return frames;
    }

    void SetUp() override
    {
        PortTest::SetUp();
        Frames.clear();
    }

    void BootGateway()
    {
        Boot("gateway");
        le_EnOcean_AddOnReceiveHandler(OnFrame, nullptr);
    }

    void Push(const char* path, const char* value)
    {
        ASSERT_EQ(dhub_AdminPush(path, value), LE_OK) << path;
        le_event_RunUntilIdle();
    }

    void StartLearning()
    {
        Push("settings/learn", "");
        le_event_AdvanceMs(2000);
        Push("settings/learn", "");
        ASSERT_EQ(LearnMode, 1);
    }
};
}

//--------------------------------------------------------------------------------------------------
// Receiver
//--------------------------------------------------------------------------------------------------
TEST_F(EnOceanTest, GoodFramesReachTheHandlersOneFramePerEvent)
{
    BootGateway();
    Bytes response = Frame(ESP3_RESPONSE, {0x00});
    Bytes both = response;
    Bytes second = Frame(ESP3_RESPONSE, {0x02}, {0x07});
    both.insert(both.end(), second.begin(), second.end());
    Feed(both);
    usleep(30000);   // both frames wait in the port
    le_event_ServiceOnce(100);
    EXPECT_EQ(Frames.size(), 1u);
    ASSERT_TRUE(Pump([] { return Frames.size() == 2; }));
    EXPECT_EQ(Frames[0].type, ESP3_RESPONSE);
    EXPECT_EQ(Frames[0].payload, Bytes({0x00}));
    EXPECT_EQ(Frames[1].payload, Bytes({0x02, 0x07}));
    EXPECT_EQ(le_log_CaptureCount("| Length of data OK."), 2u);
    EXPECT_EQ(le_log_CaptureCount("| 0207"), 1u);   // the payload dump
}

TEST_F(EnOceanTest, PauseOfMoreThan100msAbandonsTheFrame)
{
    BootGateway();
    Bytes f = Telegram4BS();
    Feed(Bytes(f.begin(), f.begin() + 8));
    ASSERT_TRUE(Pump([] { return le_log_CaptureCount("Sync Byte Received.") == 1; }));
    Settle();
    size_t syncs = CountMessages("Sync");
    le_event_AdvanceMs(101);
    Feed(Bytes(f.begin() + 8, f.end()));
    Feed(Frame(ESP3_RESPONSE, {0x00}));
    ASSERT_TRUE(Pump([] { return Frames.size() == 1; }));
    Settle();
    ASSERT_EQ(Frames.size(), 1u);
    EXPECT_EQ(Frames[0].type, ESP3_RESPONSE);
    EXPECT_EQ(CountMessages("Sync"), syncs + 1);

    // Within 100 ms the frame goes on.
    Feed(Bytes(f.begin(), f.begin() + 8));
    Settle();
    le_event_AdvanceMs(100);
    Feed(Bytes(f.begin() + 8, f.end()));
    ASSERT_TRUE(Pump([] { return Frames.size() == 2; }));
    EXPECT_EQ(Frames[1].type, ESP3_RADIO_ERP1);
}

TEST_F(EnOceanTest, WrongHeaderCrcIsReparsedFromA55InsideIt)
{
    BootGateway();
    Bytes b = Frame(ESP3_RESPONSE, {0x00, 0x11});
    // The 0x55 is the second header byte: the header bytes after it start the next header.
    Bytes stream = {0x55, 0x00};
    stream.insert(stream.end(), b.begin(), b.end());
    const uint8_t bad[4] = {0x00, 0x55, b[1], b[2]};
    ASSERT_NE(Crc8(bad, 4), b[3]);
    Feed(stream);
    ASSERT_TRUE(Pump([] { return Frames.size() == 1; }));
    EXPECT_EQ(Frames[0].payload, Bytes({0x00, 0x11}));
    EXPECT_EQ(le_log_CaptureCount("| Wrong CRC."), 1u);
    EXPECT_EQ(le_log_CaptureCount("Sync Byte Received."), 1u);   // no new sync was needed

    // The 0x55 is the first header byte: the very next byte is the new header's CRC.
    Bytes c = Frame(ESP3_RESPONSE, {0x00, 0x22});
    const uint8_t bad2[4] = {0x55, c[1], c[2], c[3]};
    ASSERT_NE(Crc8(bad2, 4), c[4]);
    Bytes stream2 = {0x55};
    stream2.insert(stream2.end(), c.begin(), c.end());
    Feed(stream2);
    ASSERT_TRUE(Pump([] { return Frames.size() == 2; }));
    EXPECT_EQ(Frames[1].payload, Bytes({0x00, 0x22}));
    EXPECT_EQ(le_log_CaptureCount("| Wrong CRC."), 2u);
}

TEST_F(EnOceanTest, ZeroLengthBadDataCrcAndOversizeFramesAreDropped)
{
    BootGateway();
    Bytes empty = Frame(ESP3_RESPONSE, {});
    Feed(empty);
    Bytes corrupt = Frame(ESP3_RESPONSE, {0x01, 0x02});
    corrupt.back() ^= 0xFF;
    Feed(corrupt);
    // A header announcing 65,535 + 255 payload bytes, with a valid CRC.
    Bytes huge = {0xFF, 0xFF, 0xFF, 0x01};
    Bytes hugeFrame = {0x55};
    hugeFrame.insert(hugeFrame.end(), huge.begin(), huge.end());
    hugeFrame.push_back(Crc8(huge.data(), huge.size()));
    Feed(hugeFrame);
    Feed(Frame(ESP3_RESPONSE, {0x03}));
    ASSERT_TRUE(Pump([] { return Frames.size() == 1; }));
    Settle();
    ASSERT_EQ(Frames.size(), 1u);
    EXPECT_EQ(Frames[0].payload, Bytes({0x03}));
    EXPECT_EQ(le_log_CaptureCount("| Length data 0."), 1u);
    EXPECT_EQ(le_log_CaptureCount("| Wrong CRC."), 0u);   // a bad data CRC drops silently
    EXPECT_EQ(le_log_CaptureCount("is too long; dropped"), 1u);
}

//--------------------------------------------------------------------------------------------------
// Transmit queue
//--------------------------------------------------------------------------------------------------
TEST_F(EnOceanTest, LearnCommandGoesOutExactlyAsOnTheWire)
{
    BootGateway();
    StartLearning();
    ASSERT_TRUE(Pump([this] { return Sent().size() >= 14; }));
    EXPECT_EQ(Sent(), Bytes({0x55, 0x00, 0x06, 0x01, 0x05, 0x73, 0x17, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE9}));
    EXPECT_EQ(le_log_CaptureCount("| Learn Mode ON"), 1u);
    EXPECT_EQ(le_log_CaptureCount("| 00 06 01 05 73"), 1u);
    EXPECT_EQ(le_log_CaptureCount("| Data Sent."), 1u);

    // Every 2 s the keep-awake timer asks the line to resume input: a START character goes out.
    Sent();
    size_t before = starts;
    le_event_AdvanceMs(10000);
    Settle();
    Sent();
    EXPECT_EQ(starts - before, 5u);
}

TEST_F(EnOceanTest, FramesLeaveInOrderMoreThan200msApart)
{
    BootGateway();
    for (uint8_t i = 1; i <= 3; i++)
    {
        const uint8_t data[] = {0x09, i};
        ASSERT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, data, sizeof(data), nullptr, 0), LE_OK);
    }
    Bytes first = Frame(ESP3_COMMON_COMMAND, {0x09, 0x01});
    ASSERT_TRUE(Pump([&] { return Sent().size() >= first.size(); }));
    Settle();
    EXPECT_EQ(Sent(), first);
    le_event_AdvanceMs(200);
    Settle();
    EXPECT_EQ(Sent(), first);   // exactly 200 ms is not enough
    le_event_AdvanceMs(1);
    Bytes second = Frame(ESP3_COMMON_COMMAND, {0x09, 0x02});
    ASSERT_TRUE(Pump([&] { return Sent().size() >= first.size() + second.size(); }));
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(Sent(), expected);
    le_event_AdvanceMs(201);
    Bytes third = Frame(ESP3_COMMON_COMMAND, {0x09, 0x03});
    expected.insert(expected.end(), third.begin(), third.end());
    ASSERT_TRUE(Pump([&] { return Sent().size() >= expected.size(); }));
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(EnOceanQueuedFrames(), 0u);
}

TEST_F(EnOceanTest, AFrameTheLineRefusesIsDroppedAndNotReportedAsSent)
{
    BootGateway();
    le_event_AdvanceMs(1000);
    Settle();
    size_t sentBefore = CountMessages("Data Sent.");
    // With the device side gone, every write to the port fails.
    close(pty.master);
    pty.master = -1;
    const uint8_t data[] = {0x09, 0x01};
    ASSERT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, data, sizeof(data), nullptr, 0), LE_OK);
    le_event_AdvanceMs(500);
    ASSERT_TRUE(Pump([] { return le_log_CaptureCount("frame dropped") > 0; }));
    EXPECT_EQ(CountMessages("Data Sent."), sentBefore);
    EXPECT_EQ(EnOceanQueuedFrames(), 0u);
}

TEST_F(EnOceanTest, QueueHolds512FramesAndRefusesWhatDoesNotFit)
{
    BootGateway();
    const uint8_t data[] = {0x08};
    for (int i = 0; i < ESP3_QUEUE_SLOTS; i++)
    {
        ASSERT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, data, 1, nullptr, 0), LE_OK) << i;
    }
    EXPECT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, data, 1, nullptr, 0), LE_BUSY);
    EXPECT_EQ(EnOceanQueuedFrames(), 512u);
}

TEST_F(EnOceanTest, ZeroDataFramesTakeNoSlotAndOversizeIsRefused)
{
    BootGateway();
    const uint8_t opt[] = {0x00};
    EXPECT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, nullptr, 0, opt, 1), LE_OK);
    EXPECT_EQ(EnOceanQueuedFrames(), 0u);
    std::vector<uint8_t> big(ESP3_PAYLOAD_MAX, 0x11);
    EXPECT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, big.data(), big.size(), nullptr, 0), LE_BAD_PARAMETER);
    EXPECT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, big.data(), 0xFFFF, big.data(), 1), LE_OK);
    EXPECT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, big.data(), 0xFFFF, big.data(), 2), LE_BAD_PARAMETER);
    EXPECT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, big.data(), 10, big.data(), 256), LE_BAD_PARAMETER);
    EXPECT_EQ(EnOceanQueuedFrames(), 1u);
    Settle();
    le_event_AdvanceMs(300);
    Settle();
    // Nothing but the one large frame went out, and it is whole.
    ASSERT_TRUE(Pump([&] { return Sent().size() >= 0xFFFF + 1 + 7; }));
    EXPECT_EQ(Sent().size(), static_cast<size_t>(0xFFFF + 1 + 7));
    EXPECT_EQ(Sent()[1], 0xFF);
    EXPECT_EQ(Sent()[2], 0xFF);
    EXPECT_EQ(Sent()[3], 0x01);
}

//--------------------------------------------------------------------------------------------------
// Learning and decoding
//--------------------------------------------------------------------------------------------------
TEST_F(EnOceanTest, LearnModeRegistersNewSendersAndDecodingWaitsForItsEnd)
{
    BootGateway();
    StartLearning();
    Feed(Telegram4BS());
    ASSERT_TRUE(Pump([this] { return HasResource("sensors/E01020304/data"); }));
    EXPECT_EQ(ReadTextFile(dir.File("EnOcean.txt")), "E01020304\n");
    EXPECT_EQ(ReadTextFile(dir.File("EnOceanBackup.txt")), "E01020304\n");
    EXPECT_EQ(Value("sensors/E01020304/eep"), "");
    EXPECT_EQ(Value("sensors/E01020304/enable"), "true");
    EXPECT_EQ(Value("sensors/E01020304/data"), "");   // not decoded while learning

    // A VLD telegram is not learned; its UTE teach-in is, with the announced profile.
    Feed(Frame(ESP3_RADIO_ERP1, {0xD2, 0x40, 0x10, 0x00, 0x0A, 0x0B, 0x0C, 0x0D, 0x00}, SubTel));
    Feed(Frame(ESP3_RADIO_ERP1, {0xD4, 0xA0, 0xFF, 0x46, 0x00, 0x00, 0x32, 0xD2, 0x0A, 0x0B, 0x0C, 0x0E, 0x00},
               SubTel));
    ASSERT_TRUE(Pump([] { return Frames.size() == 3; }));
    Settle();
    EXPECT_FALSE(HasResource("sensors/E0a0b0c0d/data"));
    EXPECT_EQ(Value("sensors/E0a0b0c0e/eep"), "d23200");
    EXPECT_EQ(ReadTextFile(dir.File("EnOcean.txt")), "E01020304\nE0a0b0c0e\n");

    // The window ends after 65 s; telegrams are then decoded.
    le_event_AdvanceMs(LEARN_WINDOW_MS + 2000);
    EXPECT_EQ(LearnMode, 0);
    EXPECT_EQ(le_log_CaptureCount("Learn mode OFF"), 1u);
    Feed(Telegram4BS());
    ASSERT_TRUE(Pump([this] { return !Value("sensors/E01020304/data").empty(); }));
    EXPECT_EQ(Value("sensors/E01020304/data"), "{\"RawData\": \"007D7D0A0102030400\"}");
    Push("sensors/E01020304/eep", "A50401");
    Feed(Telegram4BS(0x01, 0x7D, 0x7D, 0x0A));
    ASSERT_TRUE(Pump([this] { return Value("sensors/E01020304/data") != "{\"RawData\": \"007D7D0A0102030400\"}"; }));
    EXPECT_EQ(Value("sensors/E01020304/data"), "{\"Humidity\":50.00,\"Temperature\":20.00}");
    EXPECT_EQ(Value("sensors/E0a0b0c0d/data"), "");

    // A disabled sensor is not decoded.
    Push("sensors/E01020304/enable", "false");
    Feed(Telegram4BS(0x01, 0x00, 0x00, 0x08));
    ASSERT_TRUE(Pump([] { return Frames.size() == 6; }));
    Settle();
    EXPECT_EQ(Value("sensors/E01020304/data"), "{\"Humidity\":50.00,\"Temperature\":20.00}");
}

TEST_F(EnOceanTest, FirstTelegramAfterTheWindowEndsLearningAndIsDecoded)
{
    BootGateway();
    StartLearning();   // on a tick of the 2 s keep-awake timer
    Feed(Telegram4BS());
    ASSERT_TRUE(Pump([this] { return HasResource("sensors/E01020304/data"); }));
    // 65.5 s on, the timer last looked at 64 s and will look next at 66 s: the telegram finds the
    // window over, ends it and is decoded.
    le_event_AdvanceMs(LEARN_WINDOW_MS + 500);
    ASSERT_EQ(LearnMode, 1);
    Feed(Telegram4BS());
    ASSERT_TRUE(Pump([this] { return !Value("sensors/E01020304/data").empty(); }));
    EXPECT_EQ(LearnMode, 0);
    EXPECT_EQ(CountMessages("Learn mode OFF"), 1u);
    EXPECT_EQ(CountMessages("Learn mode OFF."), 0u);
    // A single-contact telegram of the same sensor takes the D5 sender position.
    Push("sensors/E01020304/eep", "D50001");
    Feed(Frame(ESP3_RADIO_ERP1, {0xD5, 0x09, 0x01, 0x02, 0x03, 0x04, 0x00}, SubTel));
    ASSERT_TRUE(Pump([this] { return Value("sensors/E01020304/data") == "{\"Magnet_present\":1}"; }));
}

TEST_F(EnOceanTest, SecureOnlyAcceptsSecureTelegramsAndTheSecureInputFollows)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E01020304\n"));
    BootGateway();
    Push("settings/secure", "true");
    Feed(Telegram4BS());
    ASSERT_TRUE(Pump([] { return Frames.size() == 1; }));
    Settle();
    EXPECT_EQ(Value("sensors/E01020304/data"), "");
    EXPECT_EQ(Value("sensors/E01020304/secure"), "false");

    // 0x32: sender in the four bytes before the status.
    Feed(Frame(ESP3_RADIO_ERP1, {0x32, 0xAA, 0xBB, 0x01, 0x02, 0x03, 0x04, 0x00}, SubTel));
    ASSERT_TRUE(Pump([this] { return !Value("sensors/E01020304/data").empty(); }));
    EXPECT_EQ(Value("sensors/E01020304/data"), "{\"RawData\": \"AABB0102030400\"}");
    EXPECT_EQ(Value("sensors/E01020304/secure"), "true");

    // 0x35 counts only with exactly 20 data bytes.
    Bytes teachIn(20, 0x00);
    teachIn[0] = 0x35;
    teachIn[15] = 0x05;
    teachIn[16] = 0x06;
    teachIn[17] = 0x07;
    teachIn[18] = 0x08;
    StartLearning();
    // One byte short and one byte long, each naming a sender of its own in bytes 15 to 18.
    Bytes shortTeachIn(teachIn.begin(), teachIn.end() - 1);
    shortTeachIn[15] = 0x0A, shortTeachIn[16] = 0x0B, shortTeachIn[17] = 0x0C, shortTeachIn[18] = 0x0D;
    Bytes longTeachIn = teachIn;
    longTeachIn.push_back(0x00);
    longTeachIn[15] = 0x0E, longTeachIn[16] = 0x0F, longTeachIn[17] = 0x10, longTeachIn[18] = 0x11;
    Feed(Frame(ESP3_RADIO_ERP1, shortTeachIn, SubTel));
    Feed(Frame(ESP3_RADIO_ERP1, longTeachIn, SubTel));
    Feed(Frame(ESP3_RADIO_ERP1, teachIn, SubTel));
    ASSERT_TRUE(Pump([this] { return HasResource("sensors/E05060708/data"); }));
    EXPECT_FALSE(HasResource("sensors/E0a0b0c0d/data"));
    EXPECT_FALSE(HasResource("sensors/E0e0f1011/data"));
    EXPECT_EQ(ReadTextFile(dir.File("EnOcean.txt")), "E01020304\nE05060708\n");

    Push("settings/secure", "false");
    le_event_AdvanceMs(LEARN_WINDOW_MS + 2000);
    Feed(Telegram4BS());
    ASSERT_TRUE(Pump([this] { return Value("sensors/E01020304/secure") == "false"; }));
}

TEST_F(EnOceanTest, DisabledGatewayIgnoresRadioButHandlersStillHearIt)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E01020304\n"));
    BootGateway();
    Push("settings/enable", "false");
    Push("settings/learn", "");
    le_event_AdvanceMs(1000);
    Push("settings/learn", "");
    EXPECT_EQ(LearnMode, 0);   // learn triggers are ignored too
    Feed(Telegram4BS());
    Feed(Telegram4BS(0x09));
    ASSERT_TRUE(Pump([] { return Frames.size() == 2; }));
    Settle();
    EXPECT_EQ(Value("sensors/E01020304/data"), "");
    EXPECT_FALSE(HasResource("sensors/E09020304/data"));
    EXPECT_EQ(Sent().size(), 0u);
}

//--------------------------------------------------------------------------------------------------
// Triggers: learn, clear, delete
//--------------------------------------------------------------------------------------------------
TEST_F(EnOceanTest, LearnNeedsASecondPushWithin4999ms)
{
    BootGateway();
    Push("settings/learn", "");
    le_event_AdvanceMs(5000);
    Push("settings/learn", "");
    EXPECT_EQ(LearnMode, 0);
    le_event_AdvanceMs(4999);
    Push("settings/learn", "");
    EXPECT_EQ(LearnMode, 1);
    uint64_t first = LearnModeTime;
    le_event_AdvanceMs(2000);
    Push("settings/learn", "");   // the third push of a run restarts the window
    EXPECT_EQ(LearnModeTime - first, 2000u);
    EXPECT_EQ(le_log_CaptureCount("| Learn Mode ON"), 2u);
    EXPECT_EQ(le_log_CaptureCount("| Trigger"), 4u);
}

TEST_F(EnOceanTest, ClearDeletesEverySensorAndEveryoneInTheHistory)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E00000001\nE00000002\nE00000003\n"));
    ASSERT_TRUE(WriteTextFile(dir.File("EnOceanBackup.txt"), "E00000001\nE00000002\nE00000003\n"));
    BootGateway();
    ASSERT_TRUE(HasResource("sensors/E00000002/enable"));
    Push("settings/clear", "");
    EXPECT_TRUE(HasResource("sensors/E00000002/enable"));
    le_event_AdvanceMs(3000);
    Push("settings/clear", "");
    for (const char* id : {"E00000001", "E00000002", "E00000003"})
    {
        for (const char* leaf : {"description", "eep", "enable", "delete", "secure", "data"})
        {
            EXPECT_FALSE(HasResource(("sensors/" + std::string(id) + "/" + leaf).c_str())) << id << leaf;
        }
    }
    EXPECT_EQ(ReadTextFile(dir.File("EnOcean.txt")), "");
    EXPECT_EQ(ReadTextFile(dir.File("EnOceanBackup.txt")), "E00000001\nE00000002\nE00000003\n");
    EXPECT_EQ(CountMessages("Removed."), 3u);
    EXPECT_EQ(CountMessages("Try to delete sensor."), 3u);
    // One 0x1A command per registered sensor, then one per history line, paced out in order.
    Bytes expected;
    for (int round = 0; round < 2; round++)
    {
        for (uint8_t id = 1; id <= 3; id++)
        {
            Bytes f = Frame(ESP3_COMMON_COMMAND, {0x1A, 0x00, 0x00, 0x00, id}, {0x00});
            expected.insert(expected.end(), f.begin(), f.end());
        }
    }
    for (int i = 0; i < 10 && Sent().size() < expected.size(); i++)
    {
        le_event_AdvanceMs(201);
        Settle();
    }
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(EnOceanQueuedFrames(), 0u);
}

TEST_F(EnOceanTest, SensorDeleteNeedsTwoPushesWithin4999ms)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E0a0b0c0d\nE01020304\n"));
    BootGateway();
    Push("sensors/E0a0b0c0d/delete", "");
    EXPECT_TRUE(HasResource("sensors/E0a0b0c0d/data"));
    EXPECT_EQ(ReadTextFile(dir.File("EnOcean.txt")), "E0a0b0c0d\nE01020304\n");
    le_event_AdvanceMs(6000);
    Push("sensors/E0a0b0c0d/delete", "");   // too late: armed again
    EXPECT_TRUE(HasResource("sensors/E0a0b0c0d/data"));
    le_event_AdvanceMs(3000);
    Push("sensors/E0a0b0c0d/delete", "");
    EXPECT_FALSE(HasResource("sensors/E0a0b0c0d/data"));
    EXPECT_FALSE(HasResource("sensors/E0a0b0c0d/delete"));
    EXPECT_EQ(ReadTextFile(dir.File("EnOcean.txt")), "E01020304\n");
    EXPECT_EQ(le_log_CaptureCount("| Sensor Deleted."), 1u);
    EXPECT_EQ(le_log_CaptureCount("| Del 0a 0b 0c 0d"), 1u);
    ASSERT_TRUE(Pump([this] { return Sent().size() >= 13; }));
    EXPECT_EQ(Sent(), Frame(ESP3_COMMON_COMMAND, {0x1A, 0x0a, 0x0b, 0x0c, 0x0d}, {0x00}));

    // Its telegrams are ignored now, and learning it again is possible.
    le_event_AdvanceMs(LEARN_WINDOW_MS);
    Feed(Frame(ESP3_RADIO_ERP1, {0xF6, 0x10, 0x0a, 0x0b, 0x0c, 0x0d, 0x30}, SubTel));
    ASSERT_TRUE(Pump([] { return Frames.size() >= 1; }));
    Settle();
    EXPECT_FALSE(HasResource("sensors/E0a0b0c0d/data"));
}

TEST_F(EnOceanTest, RelearningCancelsAPendingDelete)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E01020304\n"));
    BootGateway();
    Push("sensors/E01020304/delete", "");
    StartLearning();
    Feed(Telegram4BS());
    ASSERT_TRUE(Pump([] { return Frames.size() == 1; }));
    Settle();
    Push("sensors/E01020304/delete", "");   // only arms again: the pending delete was cancelled
    EXPECT_TRUE(HasResource("sensors/E01020304/data"));
}

//--------------------------------------------------------------------------------------------------
// Settings texts and handlers
//--------------------------------------------------------------------------------------------------
TEST_F(EnOceanTest, LongTextsAreCutWithinTheirFields)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E01020304\n"));
    BootGateway();
    std::string longText(80, 'd');
    Push("settings/description", longText.c_str());
    EXPECT_EQ(std::string(SettingsEO.description), std::string(SETTINGS_DESCRIPTION_LEN, 'd'));
    EXPECT_EQ(SettingsEO.enable, 1);   // the field behind is intact
    Push("sensors/E01020304/eep", "A50401XYZ");
    EXPECT_STREQ(Sensor[0].eep, "A50401");
    EXPECT_EQ(Sensor[0].enable, 1);
}

namespace
{
std::vector<int> HandlerOrder;
void OnFrameInOrder(uint8_t type, const uint8_t* payload, size_t size, const char* unitId, const char* eep,
                    const char* json, bool secure, void* context)
{
    HandlerOrder.push_back(static_cast<int>(reinterpret_cast<intptr_t>(context)));
    OnFrame(type, payload, size, unitId, eep, json, secure, nullptr);
}
void* Tag(int n)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(n));
}
}

TEST_F(EnOceanTest, ReceiveHandlersAreCalledInOrderAndCanBeRemoved)
{
    Boot("gateway");
    HandlerOrder.clear();
    le_EnOcean_ReceiveHandlerRef_t a = le_EnOcean_AddOnReceiveHandler(OnFrameInOrder, Tag(1));
    le_EnOcean_ReceiveHandlerRef_t b = le_EnOcean_AddOnReceiveHandler(OnFrameInOrder, Tag(2));
    le_EnOcean_ReceiveHandlerRef_t c = le_EnOcean_AddOnReceiveHandler(OnFrameInOrder, Tag(3));
    EXPECT_EQ(le_log_CaptureCount("| Handler Added"), 1u);
    EXPECT_EQ(le_log_CaptureCount("| Handler Next Added"), 2u);
    Feed(Frame(ESP3_RESPONSE, {0x00}));
    ASSERT_TRUE(Pump([] { return Frames.size() == 3; }));
    EXPECT_EQ(HandlerOrder, (std::vector<int>{1, 2, 3}));
    le_EnOcean_RemoveOnReceiveHandler(b);
    le_EnOcean_RemoveOnReceiveHandler(b);   // not held any more: nothing happens
    EXPECT_EQ(CountMessages("Handler Removed..."), 1u);
    Feed(Frame(ESP3_RESPONSE, {0x00}));
    ASSERT_TRUE(Pump([] { return Frames.size() == 5; }));
    EXPECT_EQ(HandlerOrder, (std::vector<int>{1, 2, 3, 1, 3}));
    le_EnOcean_RemoveOnReceiveHandler(a);
    EXPECT_EQ(CountMessages("Handler Removed."), 1u);
    Feed(Frame(ESP3_RESPONSE, {0x00}));
    ASSERT_TRUE(Pump([] { return Frames.size() == 6; }));
    EXPECT_EQ(HandlerOrder, (std::vector<int>{1, 2, 3, 1, 3, 3}));
    le_EnOcean_RemoveOnReceiveHandler(c);
}

TEST_F(EnOceanTest, PortThatWillNotOpenLeavesTheRestOfTheGatewayUp)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E01020304\n"));
    pa_path_AddMapping("/dev/ttyHS0", dir.File("no-such-tty").c_str());
    Boot("gateway");
    EXPECT_TRUE(HasResource("sensors/E01020304/data"));
    EXPECT_TRUE(HasResource("settings/learn"));
    EXPECT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, SubTel.data(), 1, nullptr, 0), LE_OK);
    le_event_AdvanceMs(10000);
    EXPECT_GE(le_log_CaptureCount("Cannot open /dev/ttyHS0"), 1u);
}

//--------------------------------------------------------------------------------------------------
// Modem
//--------------------------------------------------------------------------------------------------
namespace
{
void Modem(int fd)
{
    std::string pending;
    char buf[256];
    for (int idle = 0; idle < 300;)
    {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0)
        {
            usleep(10000);
            idle++;
            continue;
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t cr;
        while ((cr = pending.find('\r')) != std::string::npos)
        {
            std::string cmd = pending.substr(0, cr);
            pending.erase(0, cr + 1);
            std::string answer = cmd == "AT!MAPUART?" ? "\r\n!MAPUART: 17,1\r\n\r\nOK\r\n" : "\r\nOK\r\n";
            if (write(fd, answer.data(), answer.size()) < 0) return;
            if (cmd == "AT!MAPUART=17,2") return;
        }
    }
}
}

TEST_F(EnOceanTest, StartAsksTheModemToMapTheUart)
{
    int modem = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(modem, 0);
    ASSERT_EQ(grantpt(modem), 0);
    ASSERT_EQ(unlockpt(modem), 0);
    struct termios tio;
    tcgetattr(modem, &tio);
    cfmakeraw(&tio);
    tcsetattr(modem, TCSANOW, &tio);
    ASSERT_EQ(pa_path_AddMapping("/dev/ttyAT", ptsname(modem)), LE_OK);
    // The AT port is opened raw by the client; keep the slave side raw from the start.
    int keep = open(ptsname(modem), O_RDWR | O_NOCTTY);
    ASSERT_GE(keep, 0);
    tcgetattr(keep, &tio);
    cfmakeraw(&tio);
    tcsetattr(keep, TCSANOW, &tio);
    std::thread answering(Modem, modem);
    Boot("gateway");
    answering.join();
    EXPECT_EQ(CountMessages("!MAPUART: 17,1"), 1u);
    EXPECT_EQ(CountLinesWith("ATSend()", "| OK"), 2u);
    EXPECT_EQ(CountMessages("No AT"), 0u);
    close(keep);
    close(modem);
}

TEST_F(EnOceanTest, WithoutTheAtServiceTheMappingIsSkipped)
{
    char err[128];
    ASSERT_TRUE(simBoard_LoadPreset("gateway", err, sizeof(err)));
    ASSERT_TRUE(simBoard_Set("service.le_atClient", "unavailable", err, sizeof(err)));
    simBoard_Install();
    _VeltronaComponent_Init();
    le_event_RunUntilIdle();
    EXPECT_EQ(CountMessages("No AT"), 1u);
    EXPECT_EQ(CountMessages("-----------------------------------------"), 2u);
}

TEST_F(EnOceanTest, SensorLearnedIntoAFullTableGetsResourcesButNoHandlers)
{
    std::string registry;
    for (unsigned i = 0; i < SENSOR_COUNT; i++)
    {
        char id[16];
        snprintf(id, sizeof(id), "E%08x", 0x70000000u + i);
        registry += std::string(id) + "\n";
    }
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), registry));
    BootGateway();
    StartLearning();
    Feed(Telegram4BS());
    ASSERT_TRUE(Pump([this] { return HasResource("sensors/E01020304/data"); }));
    EXPECT_EQ(CountMessages("Sensor NOT Found"), 1u);
    dhub_ResourceInfo_t info;
    ASSERT_NE(dhub_GetInfo("sensors/E01020304/delete", &info, nullptr, 0), LE_NOT_FOUND);
    EXPECT_EQ(info.handlerCount, 0u);
    EXPECT_EQ(ReadTextFile(dir.File("EnOcean.txt")), registry);
    EXPECT_EQ(ReadTextFile(dir.File("EnOceanBackup.txt")), "");
}

namespace
{
le_EnOcean_ReceiveHandlerRef_t Victim = nullptr;
int VictimCalls = 0;
void RemovesTheNext(uint8_t, const uint8_t*, size_t, const char*, const char*, const char*, bool, void*)
{
    le_EnOcean_RemoveOnReceiveHandler(Victim);
}
void CountsVictim(uint8_t, const uint8_t*, size_t, const char*, const char*, const char*, bool, void*)
{
    VictimCalls++;
}
}

TEST_F(EnOceanTest, AHandlerMayRemoveTheNextOneWhileFramesAreDelivered)
{
    BootGateway();   // OnFrame first
    le_EnOcean_AddOnReceiveHandler(RemovesTheNext, nullptr);
    Victim = le_EnOcean_AddOnReceiveHandler(CountsVictim, nullptr);
    le_EnOcean_AddOnReceiveHandler(OnFrame, nullptr);
    Feed(Frame(ESP3_RESPONSE, {0x00}));
    ASSERT_TRUE(Pump([] { return Frames.size() == 2; }));
    EXPECT_EQ(VictimCalls, 0);
    Feed(Frame(ESP3_RESPONSE, {0x00}));
    ASSERT_TRUE(Pump([] { return Frames.size() == 4; }));
    EXPECT_EQ(VictimCalls, 0);
    EXPECT_EQ(CountMessages("Handler Removed..."), 1u);
}
