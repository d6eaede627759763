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

struct Event
{
    uint32_t sensor;
    int edge;   // -1 for a value
    double value;
};
std::vector<Event> Events;

void OnValue(uint32_t sensor, uint16_t, double, double value, void*)
{
    Events.push_back({sensor, -1, value});
}

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

    static size_t Count(const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
        return n;
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

TEST_F(ExtAdcService, TheToolMeasuresTheWorkedValuesAndSetsTheConverterUp)
{
    std::string out;
    EXPECT_EQ(RunCommand(std::string(EXTADC_BIN) + " --help", &out), 0);
    EXPECT_NE(out.find("Usage: extadc"), std::string::npos);
    // The Data Hub binding made channel 1 zero-based: 19200 of 32000 is 60 %.
    EXPECT_EQ(Tool("get 1", &out), 0) << out;
    EXPECT_EQ(out, "OK\t19200\t60\t13.6\n");
    EXPECT_EQ(Tool("interface 1 1", &out), 0) << out;
    EXPECT_EQ(out, "OK\n");
    EXPECT_EQ(Tool("get 1", &out), 0) << out;
    EXPECT_EQ(out, "OK\t19200\t50\t12\n");
    ASSERT_EQ(Simboard("set adc.ch1 " + VoltsFor(32800)), 0);
    EXPECT_EQ(Tool("get 1", &out), 1) << out;   // a reading, but not a good one
    EXPECT_EQ(out, "OVERFLOW\t32767\t102.9960938\t0\n");   // the chip clips at 32767
    ASSERT_EQ(Simboard("set adc.ch1 " + VoltsFor(6399)), 0);
    EXPECT_EQ(Tool("get 1", &out), 1) << out;
    EXPECT_EQ(out, "UNDERFLOW\t6399\t0\t0\n");
    for (const char* channel : {"5", "8", "0"})
    {
        EXPECT_EQ(Tool(std::string("get ") + channel + " 2>&1", &out), 2) << out;   // refused before it is sent
        EXPECT_NE(out.find("CHANNEL is 1 to 4"), std::string::npos) << out;
    }
    // No chip at 6Eh: a failure, named, and no reading.
    EXPECT_EQ(Tool("address 3", &out), 0) << out;
    EXPECT_EQ(Tool("get 1 2>&1", &out), 1) << out;
    EXPECT_NE(out.find("IO_ERROR\t0\t0\t0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("channel 1 was not measured"), std::string::npos) << out;
    EXPECT_EQ(Tool("address 0", &out), 0) << out;

    EXPECT_EQ(Tool("range 1 20 4", &out), 1) << out;
    EXPECT_EQ(out, "BAD_PARAMETER\n");
    EXPECT_EQ(Tool("edges 3 -5 5 1", &out), 0) << out;
    EXPECT_EQ(Tool("address 4", &out), 1) << out;
    EXPECT_EQ(Tool("gain 1 4", &out), 1) << out;
    EXPECT_EQ(Tool("speed 0", &out), 0) << out;
    EXPECT_EQ(Tool("get 2", &out), 0) << out;   // 0.4 V at 12 bits, zero-based
    EXPECT_EQ(out, "OK\t400\t20\t7.2\n");
    EXPECT_EQ(Tool("interval 500", &out), 0) << out;
    EXPECT_EQ(Tool("measure", &out), 0) << out;
    EXPECT_EQ(Tool("bus " + std::string(201, 'x'), &out), 2) << out;   // more than the interface carries
    EXPECT_EQ(Tool("bus /dev/i2c-5", &out), 0) << out;
    // A bus that is not there is refused when it is set, not found out by restarting the module.
    EXPECT_EQ(Tool("bus /nonexistent", &out), 1) << out;
    EXPECT_EQ(out, "BAD_PARAMETER\n");
    EXPECT_EQ(Tool("get 2", &out), 0) << out;
    EXPECT_EQ(Count(ReadTextFile(Log()), "reboot"), 0u);
    EXPECT_EQ(Tool("get one", &out), 2) << out;
    EXPECT_EQ(Tool("frobnicate", &out), 2) << out;
    EXPECT_EQ(Tool("get 1 --alerts", &out), 2) << out;

    // The add-on converter: nothing until add-on type 6 builds it, channels 1 and 2 only.
    EXPECT_EQ(Tool("--addon get 1", &out), 1) << out;
    EXPECT_EQ(out, "UNAVAILABLE\t0\t0\t0\n");
    ASSERT_EQ(Dhub("push settings/addon_type 6", &out), 0) << out;
    ASSERT_EQ(Dhub("wait addon/settings/i2c_address --timeout 10", &out), 0) << out;
    ASSERT_EQ(Dhub("push addon/settings/i2c_address 1", &out), 0) << out;   // 6Ch, the board's chip
    EXPECT_EQ(Tool("--addon get 1", &out), 0) << out;
    EXPECT_EQ(out, "OK\t16000\t50\t12\n");
    EXPECT_EQ(Tool("--addon get 3 2>&1", &out), 2) << out;
    EXPECT_NE(out.find("CHANNEL is 1 to 2 on the add-on converter"), std::string::npos) << out;
    ASSERT_EQ(Dhub("push addon/uc_input1/period 1", &out), 0) << out;
    ASSERT_EQ(Dhub("push addon/uc_input1/enable true", &out), 0) << out;
    EXPECT_TRUE(Becomes(DhubCommand() + "get addon/uc_input1/value", "50", &out)) << out;
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

    // A watcher whose service goes away says so and ends with exit status 2.
    std::string lost = dir.File("lost.txt");
    pid_t orphan = simProcess_Start(EXTADC_BIN, {"--runtime-dir", Runtime(), "watch", "1", "--timeout", "30"}, lost,
                                    false);
    ASSERT_GT(orphan, 0);
    ASSERT_TRUE(Becomes("grep -q '^1' '" + lost + "' && echo seen", "seen", &out));
    EXPECT_EQ(veltrona.Interrupt(10), 0);
    EXPECT_EQ(simProcess_Wait(orphan, 10000), 2) << ReadTextFile(lost);
    EXPECT_NE(ReadTextFile(lost).find("went away"), std::string::npos) << ReadTextFile(lost);
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

    // An unknown id is logged and not answered; the session goes on.
    le_msg_Send(Raw(raw, 16, {}));
    ASSERT_TRUE(Until([&] { return ReadTextFile(Log()).find("Unknowm msg id = 16") != std::string::npos; }));
    answer = le_msg_RequestSyncResponse(Raw(raw, LE_EXTADC_MEASURE_NOW, {}));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(le_msg_GetPayloadSize(answer), 4u);
    le_msg_ReleaseMsg(answer);

    // A handler reference never handed out closes the session.
    std::vector<uint8_t> bogus(8, 0x5A);
    EXPECT_EQ(le_msg_RequestSyncResponse(Raw(raw, LE_EXTADC_REMOVE_VALUE_HANDLER, bogus)), nullptr);
    EXPECT_FALSE(le_msg_IsSessionOpen(raw));
    EXPECT_TRUE(Until([&] { return ReadTextFile(Log()).find("Invalid reference") != std::string::npos; }));
    le_msg_DeleteSession(raw);

    // A path of 201 characters does not unpack: that session is closed too.
    raw = RawSession();
    std::vector<uint8_t> path = U32s({201});
    path.insert(path.end(), 201, 'p');
    EXPECT_EQ(le_msg_RequestSyncResponse(Raw(raw, LE_EXTADC_SET_FILE_DESCRIPTOR, path)), nullptr);
    le_msg_DeleteSession(raw);
    EXPECT_TRUE(Until([&] { return ReadTextFile(Log()).find("Error unpacking message") != std::string::npos; }));
    EXPECT_EQ(veltrona.Interrupt(10), 0);
}

TEST_F(ExtAdcService, AClientHoldingTheLockHoldsTheLooperBackButNotItsOwnCalls)
{
    ASSERT_EQ(le_ExtAdc_TryConnectService(), LE_OK);
    ASSERT_EQ(le_ExtAdc_SetConversionSpeed(0), LE_OK);
    ASSERT_EQ(le_ExtAdc_SetInterval(200), LE_OK);
    le_ExtAdc_HandlerRef_t ref = le_ExtAdc_AddOnValueHandler(LE_EXTADC_ADC1 | LE_EXTADC_ADC2, OnValue, nullptr);
    ASSERT_NE(ref, nullptr);
    ASSERT_TRUE(Until([] { return Events.size() >= 4; }));
    EXPECT_EQ(Events[0].sensor, LE_EXTADC_ADC1);   // each pass: channel 1, then channel 2
    EXPECT_EQ(Events[1].sensor, LE_EXTADC_ADC2);

    ASSERT_EQ(le_ExtAdc_MutexLock(), LE_OK);
    le_event_RunUntil([](void*) { return false; }, nullptr, 300);   // what was on its way arrives
    size_t held = Events.size();
    le_event_RunUntil([](void*) { return false; }, nullptr, 700);   // three intervals
    EXPECT_EQ(Events.size(), held);
    uint16_t raw = 0;
    EXPECT_EQ(le_ExtAdc_GetValue(LE_EXTADC_ADC2, &raw, nullptr, nullptr), LE_OK);
    EXPECT_EQ(raw, 400);
    ASSERT_EQ(le_ExtAdc_MutexUnlock(), LE_OK);
    ASSERT_TRUE(Until([&] { return Events.size() > held + 2; }));

    // A client that goes away holding the lock gives it back; one that never took it cannot
    // release another's.
    le_msg_SessionRef_t locker = RawSession();
    le_msg_MessageRef_t answer = le_msg_RequestSyncResponse(Raw(locker, LE_EXTADC_MUTEX_LOCK, {}));
    ASSERT_NE(answer, nullptr);
    le_msg_ReleaseMsg(answer);
    le_event_RunUntil([](void*) { return false; }, nullptr, 300);
    held = Events.size();
    ASSERT_EQ(le_ExtAdc_MutexUnlock(), LE_OK);
    le_event_RunUntil([](void*) { return false; }, nullptr, 700);
    EXPECT_EQ(Events.size(), held);
    le_msg_CloseSession(locker);
    le_msg_DeleteSession(locker);
    ASSERT_TRUE(Until([&] { return Events.size() > held + 2; }));

    le_ExtAdc_RemoveOnValueHandler(ref);
    le_ExtAdc_DisconnectService();
    EXPECT_EQ(veltrona.Interrupt(10), 0);
    std::string log = ReadTextFile(Log());
    EXPECT_EQ(Count(log, "MUTEX ON"), 2u);
    EXPECT_EQ(Count(log, "MUTEX OFF"), 3u);   // two releases and one refusal
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
