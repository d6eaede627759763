// le_ExtAdc and le_ExtAdcAddON against the real veltrona on the converter board, whose converters
// are the simulated chips: the extadc tool, the client library, and raw messages that the library
// would never send.
#include "e2e_support.h"
#include "le_ExtAdc_client.h"
#include "le_ExtAdc_interface.h"
#include "le_msg.h"
#include "sim_process.h"

#include <cstring>
#include <unistd.h>

namespace
{
// Volts the simulated chip converts to exactly the code at 16 bits.
std::string VoltsFor(int code)
{
    char text[32];
    snprintf(text, sizeof(text), "%.10g", code * 62.5e-6);
    return text;
}

std::vector<uint32_t> Events;   // the channel of each value heard
void OnValue(uint32_t sensor, uint16_t, double, double, void*) { Events.push_back(sensor); }

class ExtAdcService : public EndToEnd
{
protected:
    Program veltrona;

    void SetUp() override
    {
        Events.clear();
        ASSERT_TRUE(veltrona.Start({"--scenario", "converter", "--set", "adc.ch1=" + VoltsFor(19200), "--set",
                                    "addon.board=uc2i", "--set", "addon.adc.ch1=" + VoltsFor(16000), "--clock",
                                    "skip", "--runtime-dir", Runtime()},
                                   Log()));
        std::string out;
        ASSERT_EQ(Dhub("wait uc_input1/interface --timeout 20", &out), 0) << out << ReadTextFile(Log());
        ASSERT_EQ(le_msg_SetServiceDirectory((Runtime() + "/services").c_str()), LE_OK);
    }

    int Tool(const std::string& args, std::string* out)
    {
        return RunCommand(std::string(EXTADC_BIN) + " --runtime-dir '" + Runtime() + "' " + args + " 2>&1", out);
    }

    int Simboard(const std::string& args)
    {
        std::string out;
        return RunCommand(std::string(SIMBOARD_BIN) + " --runtime-dir '" + Runtime() + "' " + args + " 2>&1", &out);
    }

    le_msg_SessionRef_t RawSession()
    {
        le_msg_SessionRef_t raw = le_msg_CreateSession(
            le_msg_GetProtocolRef(LE_EXTADC_PROTOCOL_ID, LE_EXTADC_LARGEST_MSG), "le_ExtAdc");
        EXPECT_EQ(le_msg_TryOpenSessionSync(raw), LE_OK);
        return raw;
    }

    le_msg_MessageRef_t Raw(le_msg_SessionRef_t raw, uint32_t id, const std::vector<uint8_t>& body)
    {
        le_msg_MessageRef_t m = le_msg_CreateMsg(raw);
        uint8_t* p = static_cast<uint8_t*>(le_msg_GetPayloadPtr(m));
        memcpy(p, &id, 4);
        if (!body.empty()) memcpy(p + 4, body.data(), body.size());
        le_msg_SetPayloadSize(m, 4 + body.size());
        return m;
    }

    static std::vector<uint8_t> U32s(std::initializer_list<uint32_t> values)
    {
        std::vector<uint8_t> bytes;
        for (uint32_t v : values)
        {
            const uint8_t* p = reinterpret_cast<const uint8_t*>(&v);
            bytes.insert(bytes.end(), p, p + 4);
        }
        return bytes;
    }
};
}

// What the tool prints is the call's result and the outputs the service sent back; its exit status
// tells a good reading (0) from a refused or failed call (1) and a call it would not send (2).
TEST_F(ExtAdcService, TheToolCarriesEachCallAndItsAnswer)
{
    std::string out;
    auto expect = [&](const std::string& args, int status, const std::string& said) {
        EXPECT_EQ(Tool(args, &out), status) << args << ": " << out;
        EXPECT_NE(out.find(said), std::string::npos) << args << ": " << out;
    };
    EXPECT_EQ(RunCommand(std::string(EXTADC_BIN) + " --help", &out), 0);
    EXPECT_NE(out.find("Usage: extadc"), std::string::npos);
    expect("get 1", 0, "OK\t19200\t60\t13.6\n");   // zero-based, as the Data Hub binding set it
    expect("interface 1 1", 0, "OK\n");
    ASSERT_EQ(Simboard("set adc.ch1 " + VoltsFor(32800)), 0);
    expect("get 1", 1, "OVERFLOW\t32767\t102.9960938\t0\n");   // a reading, not a good one: the chip clips
    for (const char* setting : {"edges 3 -5 5 1", "speed 0", "interval 500", "measure", "bus /dev/i2c-5"})
    {
        expect(setting, 0, "OK\n");
    }
    // Refused by the converter; a bus that is not there when it is set, not found out by a restart.
    for (const char* setting : {"range 1 20 4", "address 4", "gain 1 4", "bus /nonexistent"})
    {
        expect(setting, 1, "BAD_PARAMETER\n");
    }
    EXPECT_EQ(Count(ReadTextFile(Log()), "reboot"), 0u);
    // Refused before anything is sent.
    for (const char* channel : {"5", "8", "0"}) expect(std::string("get ") + channel, 2, "CHANNEL is 1 to 4");
    for (const std::string& bad : {"bus " + std::string(201, 'x'), std::string("get one"), std::string("frobnicate"),
                                   std::string("get 1 --alerts")})
    {
        expect(bad, 2, "");
    }
    // No chip at 6Eh: a failure, named, and no reading.
    expect("address 3", 0, "OK\n");
    expect("get 1", 1, "IO_ERROR\t0\t0\t0\n");
    EXPECT_NE(out.find("channel 1 was not measured"), std::string::npos) << out;

    // The add-on converter: nothing until add-on type 6 builds it, channels 1 and 2 only.
    expect("--addon get 1", 1, "UNAVAILABLE\t0\t0\t0\n");
    ASSERT_EQ(Dhub("push settings/addon_type 6", &out), 0) << out;
    ASSERT_EQ(Dhub("wait addon/settings/i2c_address --timeout 10", &out), 0) << out;
    ASSERT_EQ(Dhub("push addon/settings/i2c_address 1", &out), 0) << out;   // 6Ch, the board's chip
    expect("--addon get 1", 0, "OK\t16000\t50\t12\n");
    expect("--addon get 3", 2, "CHANNEL is 1 to 2 on the add-on converter");
    EXPECT_EQ(veltrona.Interrupt(10), 0);
}

TEST_F(ExtAdcService, WatchSeesValuesAndAlertsAsTheInputCrossesTheEdges)
{
    std::string out;
    // Passes back to back at 12 bits; 4 to 20 over the live-zero span of 400 to 2000 codes.
    for (const char* setting : {"speed 0", "interface 1 1", "edges 1 5 15 1", "interval 0"})
    {
        ASSERT_EQ(Tool(setting, &out), 0) << setting << ": " << out;
    }
    // Nothing watched yet, so no looper: the first pass to end is over the normal value, with
    // the alert watcher registered.
    size_t closed = Count(ReadTextFile(Log()), "is closed !!!");
    ASSERT_EQ(Count(ReadTextFile(Log()), "LOOPER OFF"), 0u);
    std::string alerts = dir.File("alerts.txt");
    pid_t watcher = simProcess_Start(EXTADC_BIN, {"--runtime-dir", Runtime(), "watch", "1", "--alerts", "--count", "2",
                                                  "--timeout", "30"},
                                     alerts, false);
    ASSERT_GT(watcher, 0);
    ASSERT_TRUE(Until([&] { return Count(ReadTextFile(Log()), "LOOPER OFF") > 0; }));
    EXPECT_EQ(Tool("watch 1 --count 2 --timeout 20", &out), 0) << out;
    EXPECT_EQ(out, "1\t1200\t50\t12\n1\t1200\t50\t12\n");

    // The input moves between two passes, never during one: a measurement whose conversions saw
    // both levels would average them into a value of neither. The lock waits for the pass under way.
    ASSERT_EQ(le_ExtAdc_TryConnectService(), LE_OK);
    auto setBetweenPasses = [&](int code) {
        ASSERT_EQ(le_ExtAdc_MutexLock(), LE_OK);
        ASSERT_EQ(Simboard("set adc.ch1 " + VoltsFor(code)), 0);
        ASSERT_EQ(le_ExtAdc_MutexUnlock(), LE_OK);
    };
    setBetweenPasses(30720);   // 95 %: 19.2
    ASSERT_TRUE(Until([&] { return !ReadTextFile(alerts).empty(); }));
    setBetweenPasses(7680);   // 5 %: 4.8
    le_ExtAdc_DisconnectService();
    EXPECT_EQ(simProcess_Wait(watcher, 30000), 0) << ReadTextFile(alerts);
    EXPECT_EQ(ReadTextFile(alerts), "1\tHIGH\t1920\t95\t19.2\n1\tLOW\t480\t5\t4.8\n");

    // The three clients gone, their handlers go with them: the pass under way is the last one.
    ASSERT_TRUE(Until([&] { return Count(ReadTextFile(Log()), "is closed !!!") >= closed + 3; }));
    auto passes = [&] {
        std::string log = ReadTextFile(Log());
        return std::make_pair(Count(log, "LOOPER ON"), Count(log, "LOOPER OFF"));
    };
    ASSERT_TRUE(Until([&] { return passes().first == passes().second; }));
    auto ended = passes();
    usleep(500000);   // five passes' time
    EXPECT_EQ(passes(), ended);
    EXPECT_EQ(veltrona.Interrupt(10), 0);
}

TEST_F(ExtAdcService, RawRequestsTheLibraryWouldNotSend)
{
    le_msg_SessionRef_t raw = RawSession();
    // GetValue asking for no output: the answer is the id and the result alone.
    le_msg_MessageRef_t answer = le_msg_RequestSyncResponse(Raw(raw, LE_EXTADC_GET_VALUE, U32s({0, 1})));
    ASSERT_NE(answer, nullptr);
    ASSERT_EQ(le_msg_GetPayloadSize(answer), 8u);
    int32_t result = -1;
    memcpy(&result, static_cast<uint8_t*>(le_msg_GetPayloadPtr(answer)) + 4, 4);
    EXPECT_EQ(result, LE_OK);
    le_msg_ReleaseMsg(answer);
    // Only the percentage: id, result and one double.
    answer = le_msg_RequestSyncResponse(Raw(raw, LE_EXTADC_GET_VALUE, U32s({LE_EXTADC_WANT_PERCENTAGE, 1})));
    ASSERT_NE(answer, nullptr);
    ASSERT_EQ(le_msg_GetPayloadSize(answer), 16u);
    double percentage = 0;
    memcpy(&percentage, static_cast<uint8_t*>(le_msg_GetPayloadPtr(answer)) + 8, 8);
    EXPECT_DOUBLE_EQ(percentage, 60.0);
    le_msg_ReleaseMsg(answer);

    // A handler reference never handed out closes the session.
    std::vector<uint8_t> bogus(8, 0x5A);
    EXPECT_EQ(le_msg_RequestSyncResponse(Raw(raw, LE_EXTADC_REMOVE_VALUE_HANDLER, bogus)), nullptr);
    EXPECT_FALSE(le_msg_IsSessionOpen(raw));
    EXPECT_TRUE(Until([&] { return ReadTextFile(Log()).find("Invalid reference") != std::string::npos; }));
    le_msg_DeleteSession(raw);
    EXPECT_EQ(veltrona.Interrupt(10), 0);
}

// A client's lock holds the looper back until the client goes away; a client without the lock
// cannot release it.
TEST_F(ExtAdcService, ALockHoldsTheLooperBackUntilItsClientGoesAway)
{
    ASSERT_EQ(le_ExtAdc_TryConnectService(), LE_OK);
    ASSERT_EQ(le_ExtAdc_SetConversionSpeed(0), LE_OK);
    ASSERT_EQ(le_ExtAdc_SetInterval(200), LE_OK);
    le_ExtAdc_HandlerRef_t ref = le_ExtAdc_AddOnValueHandler(LE_EXTADC_ADC1 | LE_EXTADC_ADC2, OnValue, nullptr);
    ASSERT_NE(ref, nullptr);
    ASSERT_TRUE(Until([] { return Events.size() >= 4; }));
    EXPECT_EQ(Events[0], LE_EXTADC_ADC1);   // each pass: channel 1, then channel 2
    EXPECT_EQ(Events[1], LE_EXTADC_ADC2);

    le_msg_SessionRef_t locker = RawSession();
    le_msg_MessageRef_t answer = le_msg_RequestSyncResponse(Raw(locker, LE_EXTADC_MUTEX_LOCK, {}));
    ASSERT_NE(answer, nullptr);
    le_msg_ReleaseMsg(answer);
    le_event_RunUntil([](void*) { return false; }, nullptr, 300);   // what was on its way arrives
    size_t held = Events.size();
    ASSERT_EQ(le_ExtAdc_MutexUnlock(), LE_OK);   // refused: this client holds no lock
    le_event_RunUntil([](void*) { return false; }, nullptr, 700);   // three intervals
    EXPECT_EQ(Events.size(), held);
    le_msg_CloseSession(locker);
    le_msg_DeleteSession(locker);
    ASSERT_TRUE(Until([&] { return Events.size() > held + 2; }));

    le_ExtAdc_RemoveOnValueHandler(ref);
    le_ExtAdc_DisconnectService();
    EXPECT_EQ(veltrona.Interrupt(10), 0);
    std::string log = ReadTextFile(Log());
    EXPECT_EQ(Count(log, "MUTEX ON"), 1u);
    EXPECT_EQ(Count(log, "MUTEX OFF"), 2u);   // the release at the close, and the refusal
    EXPECT_EQ(Count(log, "MUTEX OFF refused: client"), 1u);
}

TEST(ToolsDuringStartUp, ToolsWaitForTheStartUpToEndSayingSoAndHonourTheirTimeout)
{
    TempDir dir;
    std::string rt = dir.File("rt");
    Program veltrona;
    // The real clock: the start-up's 10-second wait holds the services back.
    ASSERT_TRUE(veltrona.Start({"--scenario", "converter", "--clock", "real", "--runtime-dir", rt},
                               dir.File("veltrona.log")));
    std::string tool = std::string(EXTADC_BIN) + " --runtime-dir '" + rt + "' ";
    std::string out;
    for (int i = 0; i < 100 && access((rt + "/services/le_ExtAdc").c_str(), F_OK) != 0; i++) usleep(50000);
    EXPECT_EQ(RunCommand(tool + "get 1 --timeout 1 2>&1", &out), 3) << out;
    EXPECT_NE(out.find("extadc: waiting for le_ExtAdc (veltrona is starting up)"), std::string::npos) << out;
    EXPECT_NE(out.find("extadc: le_ExtAdc did not answer within 1 s"), std::string::npos) << out;
    EXPECT_EQ(RunCommand(tool + "get 1 --timeout 30 2>&1", &out), 0) << out;
    EXPECT_NE(out.find("OK\t"), std::string::npos) << out;
    EXPECT_EQ(veltrona.Interrupt(10), 0);
}
