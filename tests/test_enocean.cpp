// The EnOcean gateway on a pseudo-terminal: ESP3 receiver, transmit queue, learning, decoding,
// settings and per-sensor resources, on the virtual clock.
#include "EnOcean.h"
#include "EnOceanOctave.h"
#include "component_fixture.h"

#include <algorithm>
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

    // Feeds the bytes and serves the loop until the handlers have heard frames in all.
    void FeedUntilHeard(const Bytes& bytes, size_t frames)
    {
        Feed(bytes);
        ASSERT_TRUE(Pump([frames] { return Frames.size() >= frames; }));
        Settle();
    }

    // Serves the loop until the sensor's data shows the value.
    void DataBecomes(const char* path, const std::string& want)
    {
        ASSERT_TRUE(Pump([&] { return Value(path) == want; })) << Value(path);
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
TEST_F(EnOceanTest, GoodFramesReachTheHandlersOnePerEventAndBadOnesAreDroppedOrReparsed)
{
    BootGateway();
    Bytes both = Frame(ESP3_RESPONSE, {0x00});
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

    // A 0x55 in a header whose CRC is wrong starts the next header, without a new sync: as its
    // second byte (the header bytes after it start the next header), then as its first (the very
    // next byte is the new header's CRC).
    const Bytes leads[] = {{0x55, 0x00}, {0x55}};
    for (size_t k = 0; k < 2; k++)
    {
        const Bytes data = {0x00, static_cast<uint8_t>(0x11 * (k + 1))};
        Bytes stream = leads[k];
        Bytes f = Frame(ESP3_RESPONSE, data);
        stream.insert(stream.end(), f.begin(), f.end());
        ASSERT_NE(Crc8(stream.data() + 1, 4), stream[5]);   // the false header's CRC is wrong
        size_t syncs = le_log_CaptureCount("Sync Byte Received.");
        FeedUntilHeard(stream, 3 + k);
        EXPECT_EQ(Frames[2 + k].payload, data);
        EXPECT_EQ(le_log_CaptureCount("| Wrong CRC."), k + 1);
        EXPECT_EQ(le_log_CaptureCount("Sync Byte Received."), syncs + 1);
    }

    // A frame without data, one whose data CRC is wrong (silently) and a header announcing
    // 65,535 + 255 payload bytes, with a valid CRC, are dropped.
    Feed(Frame(ESP3_RESPONSE, {}));
    Bytes corrupt = Frame(ESP3_RESPONSE, {0x01, 0x02});
    corrupt.back() ^= 0xFF;
    Feed(corrupt);
    Bytes huge = {0x55, 0xFF, 0xFF, 0xFF, 0x01};
    huge.push_back(Crc8(huge.data() + 1, 4));
    Feed(huge);
    FeedUntilHeard(Frame(ESP3_RESPONSE, {0x03}), 5);
    ASSERT_EQ(Frames.size(), 5u);
    EXPECT_EQ(Frames[4].payload, Bytes({0x03}));
    EXPECT_EQ(le_log_CaptureCount("| Length data 0."), 1u);
    EXPECT_EQ(le_log_CaptureCount("| Wrong CRC."), 2u);
    EXPECT_EQ(le_log_CaptureCount("is too long; dropped"), 1u);
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
    FeedUntilHeard(Frame(ESP3_RESPONSE, {0x00}), 1);
    ASSERT_EQ(Frames.size(), 1u);
    EXPECT_EQ(Frames[0].type, ESP3_RESPONSE);
    EXPECT_EQ(CountMessages("Sync"), syncs + 1);

    // Within 100 ms the frame goes on.
    Feed(Bytes(f.begin(), f.begin() + 8));
    Settle();
    le_event_AdvanceMs(100);
    FeedUntilHeard(Bytes(f.begin() + 8, f.end()), 2);
    EXPECT_EQ(Frames[1].type, ESP3_RADIO_ERP1);
}

//--------------------------------------------------------------------------------------------------
// Transmit queue
//--------------------------------------------------------------------------------------------------
TEST_F(EnOceanTest, LearnNeedsASecondPushWithin4999msAndItsCommandGoesOutExactlyAsOnTheWire)
{
    BootGateway();
    Push("settings/learn", "");
    le_event_AdvanceMs(5000);
    Push("settings/learn", "");
    EXPECT_EQ(LearnMode, 0);
    le_event_AdvanceMs(4999);
    Push("settings/learn", "");
    EXPECT_EQ(LearnMode, 1);
    const Bytes learn = {0x55, 0x00, 0x06, 0x01, 0x05, 0x73, 0x17, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE9};
    ASSERT_TRUE(Pump([this] { return Sent().size() >= 14; }));
    EXPECT_EQ(Sent(), learn);
    EXPECT_EQ(le_log_CaptureCount("| Learn Mode ON"), 1u);
    EXPECT_EQ(le_log_CaptureCount("| 00 06 01 05 73"), 1u);
    EXPECT_EQ(le_log_CaptureCount("| Data Sent."), 1u);

    // The third push of a run restarts the window, and sends the command again.
    uint64_t first = LearnModeTime;
    le_event_AdvanceMs(2000);
    Push("settings/learn", "");
    EXPECT_EQ(LearnModeTime - first, 2000u);
    EXPECT_EQ(le_log_CaptureCount("| Learn Mode ON"), 2u);
    EXPECT_EQ(le_log_CaptureCount("| Trigger"), 4u);
    Bytes twice = learn;
    twice.insert(twice.end(), learn.begin(), learn.end());
    ASSERT_TRUE(Pump([this] { return Sent().size() >= 28; }));
    EXPECT_EQ(Sent(), twice);

    // Every 2 s the keep-awake timer asks the line to resume input: a START character goes out.
    Settle();
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
    Bytes expected;
    for (uint8_t i = 1; i <= 3; i++)
    {
        const uint8_t data[] = {0x09, i};
        ASSERT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, data, sizeof(data), nullptr, 0), LE_OK);
    }
    // Each after the pause that lets it go (exactly 200 ms is not enough for the second).
    for (uint8_t i = 1; i <= 3; i++)
    {
        Bytes f = Frame(ESP3_COMMON_COMMAND, {0x09, i});
        expected.insert(expected.end(), f.begin(), f.end());
        ASSERT_TRUE(Pump([&] { return Sent().size() >= expected.size(); })) << int(i);
        Settle();
        EXPECT_EQ(Sent(), expected);
        le_event_AdvanceMs(200);
        Settle();
        EXPECT_EQ(Sent(), expected);
        le_event_AdvanceMs(1);
    }
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

TEST_F(EnOceanTest, TheQueueTakesWhatOneFrameCarriesAndHolds512)
{
    BootGateway();
    std::vector<uint8_t> big(ESP3_PAYLOAD_MAX, 0x11);
    const struct
    {
        size_t data, opt;
        le_result_t result;
    } rows[] = {
        {0, 1, LE_OK},   // no data: accepted and never sent
        {ESP3_PAYLOAD_MAX, 0, LE_BAD_PARAMETER},
        {0xFFFF, 2, LE_BAD_PARAMETER},
        {10, ESP3_OPTIONAL_MAX + 1, LE_BAD_PARAMETER},
        {0xFFFF, 1, LE_OK},   // the largest frame
    };
    for (const auto& r : rows)
    {
        EXPECT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, r.data ? big.data() : nullptr, r.data, big.data(), r.opt),
                  r.result)
            << r.data << " + " << r.opt;
    }
    EXPECT_EQ(EnOceanQueuedFrames(), 1u);
    Settle();
    le_event_AdvanceMs(300);
    // Nothing but the one large frame went out, and it is whole.
    ASSERT_TRUE(Pump([&] { return Sent().size() >= 0xFFFF + 1 + 7; }));
    Settle();
    EXPECT_EQ(Sent(), Frame(ESP3_COMMON_COMMAND, Bytes(0xFFFF, 0x11), {0x11}));

    const uint8_t one[] = {0x08};
    for (int i = 0; i < ESP3_QUEUE_SLOTS; i++)
    {
        ASSERT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, one, 1, nullptr, 0), LE_OK) << i;
    }
    EXPECT_EQ(le_EnOcean_SendData(ESP3_COMMON_COMMAND, one, 1, nullptr, 0), LE_BUSY);
    EXPECT_EQ(EnOceanQueuedFrames(), 512u);
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
    FeedUntilHeard(Frame(ESP3_RADIO_ERP1, {0xD4, 0xA0, 0xFF, 0x46, 0x00, 0x00, 0x32, 0xD2, 0x0A, 0x0B, 0x0C, 0x0E, 0x00},
                         SubTel),
                   3);
    EXPECT_FALSE(HasResource("sensors/E0a0b0c0d/data"));
    EXPECT_EQ(Value("sensors/E0a0b0c0e/eep"), "d23200");
    EXPECT_EQ(ReadTextFile(dir.File("EnOcean.txt")), "E01020304\nE0a0b0c0e\n");

    // The window ends after 65 s; telegrams are then decoded, by the profile once one is set.
    le_event_AdvanceMs(LEARN_WINDOW_MS + 2000);
    EXPECT_EQ(LearnMode, 0);
    EXPECT_EQ(le_log_CaptureCount("Learn mode OFF"), 1u);
    Feed(Telegram4BS());
    DataBecomes("sensors/E01020304/data", "{\"RawData\": \"007D7D0A0102030400\"}");
    Push("sensors/E01020304/eep", "A50401");
    Feed(Telegram4BS());
    DataBecomes("sensors/E01020304/data", "{\"Humidity\":50.00,\"Temperature\":20.00}");
    EXPECT_EQ(Value("sensors/E0a0b0c0d/data"), "");

    // A disabled sensor is not decoded.
    Push("sensors/E01020304/enable", "false");
    FeedUntilHeard(Telegram4BS(0x01, 0x00, 0x00, 0x08), 6);
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
    DataBecomes("sensors/E01020304/data", "{\"Magnet_present\":1}");
}

TEST_F(EnOceanTest, SecureOnlyAcceptsSecureTelegramsAndTheSecureInputFollows)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E01020304\n"));
    BootGateway();
    Push("settings/secure", "true");
    FeedUntilHeard(Telegram4BS(), 1);
    EXPECT_EQ(Value("sensors/E01020304/data"), "");
    EXPECT_EQ(Value("sensors/E01020304/secure"), "false");

    // 0x32: sender in the four bytes before the status.
    Feed(Frame(ESP3_RADIO_ERP1, {0x32, 0xAA, 0xBB, 0x01, 0x02, 0x03, 0x04, 0x00}, SubTel));
    DataBecomes("sensors/E01020304/data", "{\"RawData\": \"AABB0102030400\"}");
    EXPECT_EQ(Value("sensors/E01020304/secure"), "true");

    // 0x35 counts only with exactly 20 data bytes: one byte short and one long, each naming a
    // sender of its own in bytes 15 to 18, are not learned.
    auto teachIn = [](size_t n, uint8_t sender0) {
        Bytes t(n, 0x00);
        t[0] = 0x35;
        for (uint8_t i = 0; i < 4; i++) t[15 + i] = static_cast<uint8_t>(sender0 + i);
        return Frame(ESP3_RADIO_ERP1, t, SubTel);
    };
    StartLearning();
    Feed(teachIn(19, 0x0A));
    Feed(teachIn(21, 0x0E));
    Feed(teachIn(20, 0x05));
    ASSERT_TRUE(Pump([this] { return HasResource("sensors/E05060708/data"); }));
    EXPECT_FALSE(HasResource("sensors/E0a0b0c0d/data"));
    EXPECT_FALSE(HasResource("sensors/E0e0f1011/data"));
    EXPECT_EQ(ReadTextFile(dir.File("EnOcean.txt")), "E01020304\nE05060708\n");

    Push("settings/secure", "false");
    le_event_AdvanceMs(LEARN_WINDOW_MS + 2000);
    Feed(Telegram4BS());
    DataBecomes("sensors/E01020304/secure", "false");
}

// Too short to carry a sender after the RORG byte: never read as one made of the RORG itself.
TEST_F(EnOceanTest, TelegramsTooShortForTheirSenderAreDropped)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "Ed2aabbcc\nE32aabbcc\n"));
    BootGateway();
    Feed(Frame(ESP3_RADIO_ERP1, {0xD2, 0xAA, 0xBB, 0xCC, 0x00}, SubTel));
    FeedUntilHeard(Frame(ESP3_RADIO_ERP1, {0x32, 0xAA, 0xBB, 0xCC, 0x00}, SubTel), 2);
    EXPECT_EQ(Value("sensors/Ed2aabbcc/data"), "");
    EXPECT_EQ(Value("sensors/E32aabbcc/data"), "");
    // A teach-in whose announced profile would take in the RORG byte is not learned.
    StartLearning();
    FeedUntilHeard(Frame(ESP3_RADIO_ERP1, {0xD4, 0x32, 0xD2, 0x0A, 0x0B, 0x0C, 0x0D, 0x00}, SubTel), 3);
    EXPECT_EQ(ReadTextFile(dir.File("EnOcean.txt")), "Ed2aabbcc\nE32aabbcc\n");
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
    FeedUntilHeard(Telegram4BS(0x09), 2);
    EXPECT_EQ(Value("sensors/E01020304/data"), "");
    EXPECT_FALSE(HasResource("sensors/E09020304/data"));
    EXPECT_EQ(Sent().size(), 0u);
}

TEST_F(EnOceanTest, SensorLearnedIntoAFullTableGetsResourcesButNoHandlers)
{
    std::string registry;
    for (unsigned i = 0; i < SENSOR_COUNT; i++)
    {
        char id[16];
        snprintf(id, sizeof(id), "E%08x\n", 0x70000000u + i);
        registry += id;
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

//--------------------------------------------------------------------------------------------------
// Triggers: learn, clear, delete
//--------------------------------------------------------------------------------------------------
TEST_F(EnOceanTest, ClearDeletesEverySensorAndEveryoneInTheHistory)
{
    const std::string three = "E00000001\nE00000002\nE00000003\n";
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), three));
    ASSERT_TRUE(WriteTextFile(dir.File("EnOceanBackup.txt"), three));
    BootGateway();
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
    EXPECT_EQ(ReadTextFile(dir.File("EnOceanBackup.txt")), three);
    EXPECT_EQ(CountMessages("Removed."), 3u);
    EXPECT_EQ(CountMessages("Try to delete sensor."), 3u);
    // One 0x1A command per registered sensor, then one per history line, paced out in order.
    Bytes expected;
    for (int i = 0; i < 6; i++)
    {
        Bytes f = Frame(ESP3_COMMON_COMMAND, {0x1A, 0x00, 0x00, 0x00, static_cast<uint8_t>(1 + i % 3)}, {0x00});
        expected.insert(expected.end(), f.begin(), f.end());
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
    FeedUntilHeard(Frame(ESP3_RADIO_ERP1, {0xF6, 0x10, 0x0a, 0x0b, 0x0c, 0x0d, 0x30}, SubTel), 1);
    EXPECT_FALSE(HasResource("sensors/E0a0b0c0d/data"));
}

TEST_F(EnOceanTest, RelearningCancelsAPendingDelete)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E01020304\n"));
    BootGateway();
    Push("sensors/E01020304/delete", "");
    StartLearning();
    FeedUntilHeard(Telegram4BS(), 1);
    Push("sensors/E01020304/delete", "");   // only arms again: the pending delete was cancelled
    EXPECT_TRUE(HasResource("sensors/E01020304/data"));
}

//--------------------------------------------------------------------------------------------------
// Settings texts, handlers, ports
//--------------------------------------------------------------------------------------------------
TEST_F(EnOceanTest, LongTextsAreCutWithinTheirFields)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E01020304\n"));
    BootGateway();
    Push("settings/description", std::string(80, 'd').c_str());
    EXPECT_EQ(std::string(SettingsEO.description), std::string(SETTINGS_DESCRIPTION_LEN, 'd'));
    EXPECT_EQ(SettingsEO.enable, 1);   // the field behind is intact
    Push("sensors/E01020304/eep", "A50401XYZ");
    EXPECT_STREQ(Sensor[0].eep, "A50401");
    EXPECT_EQ(Sensor[0].enable, 1);
}

namespace
{
std::vector<int> HandlerOrder;
le_EnOcean_ReceiveHandlerRef_t Victim = nullptr;
void OnFrameInOrder(uint8_t type, const uint8_t* payload, size_t size, const char* unitId, const char* eep,
                    const char* json, bool secure, void* context)
{
    HandlerOrder.push_back(static_cast<int>(reinterpret_cast<intptr_t>(context)));
    OnFrame(type, payload, size, unitId, eep, json, secure, nullptr);
    if (context == nullptr && Victim != nullptr) le_EnOcean_RemoveOnReceiveHandler(Victim);
}
void* Tag(int n)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(n));
}
}

TEST_F(EnOceanTest, ReceiveHandlersAreCalledInOrderAndCanBeRemovedEvenDuringDelivery)
{
    Boot("gateway");
    HandlerOrder.clear();
    le_EnOcean_ReceiveHandlerRef_t a = le_EnOcean_AddOnReceiveHandler(OnFrameInOrder, Tag(1));
    le_EnOcean_ReceiveHandlerRef_t b = le_EnOcean_AddOnReceiveHandler(OnFrameInOrder, Tag(2));
    le_EnOcean_ReceiveHandlerRef_t c = le_EnOcean_AddOnReceiveHandler(OnFrameInOrder, Tag(3));
    EXPECT_EQ(le_log_CaptureCount("| Handler Added"), 1u);
    EXPECT_EQ(le_log_CaptureCount("| Handler Next Added"), 2u);
    FeedUntilHeard(Frame(ESP3_RESPONSE, {0x00}), 3);
    EXPECT_EQ(HandlerOrder, (std::vector<int>{1, 2, 3}));
    le_EnOcean_RemoveOnReceiveHandler(b);
    le_EnOcean_RemoveOnReceiveHandler(b);   // not held any more: nothing happens
    EXPECT_EQ(CountMessages("Handler Removed..."), 1u);
    FeedUntilHeard(Frame(ESP3_RESPONSE, {0x00}), 5);
    EXPECT_EQ(HandlerOrder, (std::vector<int>{1, 2, 3, 1, 3}));
    le_EnOcean_RemoveOnReceiveHandler(a);
    EXPECT_EQ(CountMessages("Handler Removed."), 1u);

    // A handler (tag 0, now first) removes the one after it while a frame is delivered: that one
    // is skipped at once, and the handlers after it still hear the frame.
    le_EnOcean_RemoveOnReceiveHandler(c);
    le_EnOcean_AddOnReceiveHandler(OnFrameInOrder, Tag(0));
    Victim = le_EnOcean_AddOnReceiveHandler(OnFrameInOrder, Tag(4));
    le_EnOcean_AddOnReceiveHandler(OnFrameInOrder, Tag(5));
    HandlerOrder.clear();
    FeedUntilHeard(Frame(ESP3_RESPONSE, {0x00}), 7);
    EXPECT_EQ(HandlerOrder, (std::vector<int>{0, 5}));
    Victim = nullptr;
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
// Answers the AT commands on fd until it is told to map the UART (3 s of silence at most).
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
        for (size_t cr; (cr = pending.find('\r')) != std::string::npos;)
        {
            std::string cmd = pending.substr(0, cr);
            pending.erase(0, cr + 1);
            std::string answer = cmd == "AT!MAPUART?" ? "\r\n!MAPUART: 17,1\r\n\r\nOK\r\n" : "\r\nOK\r\n";
            if (write(fd, answer.data(), answer.size()) < 0 || cmd == "AT!MAPUART=17,2") return;
        }
    }
}

}

TEST_F(EnOceanTest, StartAsksTheModemToMapTheUart)
{
    SimPty modem;
    char at[256];
    ASSERT_TRUE(simPty_Open(&modem, at, sizeof(at)));
    ASSERT_EQ(pa_path_AddMapping("/dev/ttyAT", at), LE_OK);
    std::thread answering(Modem, modem.master);
    Boot("gateway");
    answering.join();
    simPty_Close(&modem);
    EXPECT_EQ(CountMessages("!MAPUART: 17,1"), 1u);
    EXPECT_EQ(CountLinesWith("ATSend()", "| OK"), 2u);
    EXPECT_EQ(CountMessages("No AT"), 0u);
}

TEST_F(EnOceanTest, WithoutTheAtServiceTheMappingIsSkipped)
{
    Boot("gateway", {{"service.le_atClient", "unavailable"}});
    EXPECT_EQ(CountMessages("No AT"), 1u);
    EXPECT_EQ(CountLinesWith("ATSend()", ""), 0u);
}
