// The real veltrona program on a simulated board, driven from outside with the dhub tool.
#include "e2e_support.h"
#include "le_EnOcean_client.h"
#include "le_EnOcean_interface.h"
#include "le_msg.h"
#include "pa_text.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
// The JSON record dhub prints for a resource, up to its timestamp; the rest of line must be a time
// since 1970 (or null) and the closing brace.
bool IsJsonRecord(const std::string& line, const std::string& head, bool hasTime = true)
{
    const std::string mark = ",\"timestamp\":";
    if (line.compare(0, head.size() + mark.size(), head + mark) != 0 || line.back() != '}') return false;
    std::string time = line.substr(head.size() + mark.size(), line.size() - head.size() - mark.size() - 1);
    return hasTime ? atof(time.c_str()) > 1.0e9 && time.find_first_not_of("0123456789.") == std::string::npos
                   : time == "null";
}
}

TEST_F(EndToEnd, ProgramsThatCannotRunSayWhyAndEndByThemselves)
{
    std::string out;
    EXPECT_EQ(Dhub("list", &out), 2) << out;   // nobody running there
    EXPECT_NE(out.find("dhub:"), std::string::npos) << out;
    // What the bus tells is said: no known contents, no chip, no bus, contents of another board.
    const struct
    {
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {{"--scenario", "none"}, 1,
         "veltrona: stopped: no known board: the identification EEPROM holds no known board (signature erased, "
         "name erased)"},
        {{"--scenario", "absent"}, 1, "no identification EEPROM answers at 0x52 on /dev/i2c-5"},
        {{"--scenario", "unreadable"}, 1, "no I2C bus at /dev/i2c-5"},
        {{"--scenario", "none", "--set", "eeprom.signature=ACME Toasters"}, 1, "(signature 'ACME Toasters', name erased)"},
        {{"--scenario", "toaster"}, 2, "unknown scenario 'toaster'"},
        {{"--real", "--set", "adc.ch1=1"}, 2, "--real runs on the module's own devices; --set is for the simulated board"},
        {{"--help"}, 0, "Usage: veltrona"},
    };
    int n = 0;
    for (const auto& c : cases)
    {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--clock", "skip", "--runtime-dir", Runtime()});
        std::string log = dir.File("run" + std::to_string(n++) + ".log");
        Program p;
        ASSERT_TRUE(p.Start(args, log));
        EXPECT_EQ(p.WaitExit(20), c.status) << ReadTextFile(log);
        std::string said = ReadTextFile(log);
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        if (c.status != 1) continue;
        EXPECT_NE(said.find("veltrona: board mode 0 (no known board)"), std::string::npos) << said;
        EXPECT_NE(said.find("Application 'Veltrona' is stopping"), std::string::npos) << said;
        EXPECT_EQ(said.find("Init Octave..."), std::string::npos) << said;
    }
}

TEST_F(EndToEnd, TheToolReadsPushesAndWatchesAndNamesWhatIsWrong)
{
    Program veltrona;
    StartGateway(&veltrona, "gateway");
    std::string out;
    ASSERT_EQ(Dhub("get settings/addon_type", &out), 0) << out;
    EXPECT_EQ(out, "0\n");
    ASSERT_EQ(Dhub("push settings/addon_type 1", &out), 0) << out;
    ASSERT_EQ(Dhub("wait addon/input1", &out), 0) << out;
    const struct
    {
        const char* args;
        int status;
        const char* says;
    } cases[] = {
        {"push settings/learn now", 1, "dhub: settings/learn is a trigger: push it without a value\n"},
        {"push settings/enable maybe", 1, "dhub: settings/enable is a boolean output: push true or false, not 'maybe'\n"},
        {"push settings/addon_type", 1, "dhub: settings/addon_type is a numeric output: push a number\n"},
        {"push settings/addon_type four", 1, "dhub: settings/addon_type is a numeric output: push a number, not 'four'\n"},
        {"push settings/addon_type nan", 1, "push a number, not 'nan'\n"},
        {"push settings/nothing 1", 1, "dhub: no such resource: settings/nothing\n"},
        {"push addon/input1 true", 1, "dhub: addon/input1 is an input: only the gateway pushes to it\n"},
        {"push ../etc 1", 1, "dhub:"},
        {"get settings/nothing", 1, "dhub:"},
        {"frobnicate", 2, "dhub:"},
        {"wait settings/never --timeout 0.3", 3, "dhub:"},
        {"get settings/addon_type --timeout nan", 2, "dhub: --timeout takes a number, not 'nan'\n"},
        {"--help", 0, "Usage: dhub"},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(Dhub(c.args, &out), c.status) << c.args << ": " << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.args << ": " << out;
    }
    ASSERT_EQ(Dhub("get settings/addon_type", &out), 0) << out;
    EXPECT_EQ(out, "1\n");

    // Control characters are shown escaped: one record stays one line.
    ASSERT_EQ(Dhub("push settings/description \"$(printf 'a\\tb\\nc\\001d\\\\e')\"", &out), 0) << out;
    EXPECT_EQ(Dhub("get settings/description", &out), 0) << out;
    EXPECT_EQ(out, "a\\tb\\nc\\x01d\\\\e\n");
    ASSERT_EQ(Dhub("list", &out), 0) << out;
    std::string row = out.substr(out.find("settings/addon_type "));
    row.resize(row.find('\n'));
    EXPECT_NE(row.find(" output "), std::string::npos) << row;
    EXPECT_NE(row.find(" numeric "), std::string::npos) << row;
    EXPECT_NE(out.find("a\\tb\\nc\\x01d\\\\e\n"), std::string::npos) << out;

    // --json: one object a line, its texts escaped, numbers and null bare.
    ASSERT_EQ(Dhub("get settings/description --json", &out), 0) << out;
    EXPECT_TRUE(IsJsonRecord(out.substr(0, out.size() - 1),
                             "{\"path\":\"settings/description\",\"kind\":\"output\",\"type\":\"string\",\"units\":\"\","
                             "\"value\":\"a\\u0009b\\u000Ac\\u0001d\\\\e\""))
        << out;
    ASSERT_EQ(Dhub("list --json", &out), 0) << out;
    std::vector<std::string> lines = pa_text_Split(out.substr(0, out.size() - 1), '\n');
    EXPECT_GT(lines.size(), 5u);
    size_t seen = 0;
    for (const std::string& line : lines)
    {
        EXPECT_EQ(line.compare(0, 9, "{\"path\":\""), 0) << line;
        seen += IsJsonRecord(line, "{\"path\":\"settings/addon_type\",\"kind\":\"output\",\"type\":\"numeric\","
                                   "\"units\":\"\",\"value\":1") +
                IsJsonRecord(line, "{\"path\":\"settings/learn\",\"kind\":\"output\",\"type\":\"trigger\",\"units\":\"\","
                                   "\"value\":null",
                             false);
    }
    EXPECT_EQ(seen, 2u) << out;

    // watch, plain, --json and --timestamps: the push is repeated until the watch, started
    // alongside, hears one; its first line is returned.
    auto watchWhilePushing = [&](const std::string& watchArgs, const std::string& push) {
        std::string watched;
        std::atomic<bool> done{false};
        std::thread watcher([&] {
            Dhub("watch " + watchArgs + " --count 1 --timeout 20", &watched);
            done = true;
        });
        for (int i = 0; i < 100 && !done; i++)
        {
            Dhub(push, &out);
            usleep(100000);
        }
        watcher.join();
        return watched.substr(0, watched.find('\n'));
    };
    EXPECT_EQ(watchWhilePushing("settings/", "push settings/addon_type 4"), "settings/addon_type\t4");
    EXPECT_TRUE(IsJsonRecord(watchWhilePushing("settings/enable --json", "push settings/enable false"),
                             "{\"path\":\"settings/enable\",\"kind\":\"output\",\"type\":\"boolean\",\"units\":\"\","
                             "\"value\":false"));
    std::vector<std::string> f =
        pa_text_Split(watchWhilePushing("settings/enable --timestamps", "push settings/enable true"), '\t');
    ASSERT_EQ(f.size(), 3u);
    EXPECT_GT(atof(f[0].c_str()), 1.0e9);
    EXPECT_EQ(f[1] + " " + f[2], "settings/enable true");

    // A push that cannot be kept is applied and said to be lost at the next restart.
    std::string blocker = Runtime() + "/datahub-settings.txt.tmp";
    ASSERT_EQ(mkdir(blocker.c_str(), 0700), 0);   // the settings file cannot be replaced, even by root
    EXPECT_EQ(Dhub("push settings/description lost", &out), 1) << out;
    EXPECT_NE(out.find("settings/description was applied, but the settings file could not be written"),
              std::string::npos)
        << out;
    ASSERT_EQ(Dhub("get settings/description", &out), 0);
    EXPECT_EQ(out, "lost\n");
    ASSERT_EQ(rmdir(blocker.c_str()), 0);
    EXPECT_EQ(veltrona.Interrupt(10), 0);
    std::string log = ReadTextFile(Log());
    EXPECT_NE(log.find("Init Octave..."), std::string::npos) << log;
    EXPECT_NE(log.find("Clear Main Resources."), std::string::npos) << log;

    // What was kept survives a restart.
    Program again;
    StartGateway(&again, "gateway");
    ASSERT_EQ(Dhub("get settings/addon_type", &out), 0);
    EXPECT_EQ(out, "4\n");
    ASSERT_EQ(Dhub("get settings/description", &out), 0);
    EXPECT_EQ(out, "a\\tb\\nc\\x01d\\\\e\n");
    EXPECT_EQ(again.Interrupt(10), 0);
}

// A health check is never held: a gateway that hangs answers nothing, and the tools end at their
// time-out; a client beyond the admin socket's 64 is told why.
TEST_F(EndToEnd, ToolsEndAtTheirTimeoutAgainstAHungGatewayAndShowARefusalAsItIs)
{
    Program veltrona;
    StartGateway(&veltrona, "gateway");
    std::string out;
    // 64 clients, each served once, so that each holds its place.
    std::vector<int> watchers;
    for (int i = 0; i < 64; i++)
    {
        watchers.push_back(ConnectUnix(Runtime() + "/datahub.sock"));
        char answer[64];
        ASSERT_EQ(write(watchers.back(), "GET\tnothing\n", 12), 12);
        ASSERT_GT(read(watchers.back(), answer, sizeof(answer)), 0) << i;
    }
    EXPECT_EQ(Dhub("get settings/addon_type", &out), 1) << out;
    EXPECT_EQ(out, "dhub: too many admin clients\n");
    for (int fd : watchers) close(fd);
    veltrona.Signal(SIGSTOP);
    for (const char* command : {"get settings/addon_type --timeout 1", "list --timeout 1", "push settings/enable true --timeout 1"})
    {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Dhub(command, &out), 3) << command << ": " << out;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << command;
    }
    veltrona.Signal(SIGCONT);
    EXPECT_EQ(Dhub("push settings/description -- --dashed", &out), 0) << out;   // -- ends the options
    EXPECT_EQ(Dhub("get settings/description", &out), 0);
    EXPECT_EQ(out, "--dashed\n");
    EXPECT_EQ(veltrona.Interrupt(10), 0);
}

TEST_F(EndToEnd, ARuntimeDirectoryOthersCanWriteOrOwnIsRefused)
{
    ASSERT_EQ(mkdir(Runtime().c_str(), 0700), 0);
    ASSERT_EQ(chmod(Runtime().c_str(), 0777), 0);
    Program veltrona;
    ASSERT_TRUE(veltrona.Start({"--scenario", "addon", "--clock", "skip", "--runtime-dir", Runtime()}, Log()));
    EXPECT_EQ(veltrona.WaitExit(10), 2);
    std::string log = ReadTextFile(Log());
    EXPECT_NE(log.find("runtime directory " + Runtime() + " can be written by group or others (mode 0777)"),
              std::string::npos)
        << log;
    struct stat st;
    EXPECT_NE(stat((Runtime() + "/datahub.sock").c_str(), &st), 0);   // nothing was put there
    std::string out;
    EXPECT_EQ(Dhub("list", &out), 2) << out;
    EXPECT_NE(out.find("dhub: runtime directory " + Runtime() + " can be written"), std::string::npos) << out;
    EXPECT_EQ(Dhub("wait settings/addon_type --timeout 5", &out), 2) << out;
    EXPECT_EQ(RunCommand(std::string(ENOCEAN_BIN) + " --runtime-dir '" + Runtime() + "' listen 2>&1", &out), 2);
    EXPECT_NE(out.find("enocean: runtime directory " + Runtime() + " can be written"), std::string::npos) << out;

    ASSERT_EQ(chmod(Runtime().c_str(), 0755), 0);   // others may read: that is allowed
    if (geteuid() == 0)
    {
        ASSERT_EQ(chown(Runtime().c_str(), 4242, 4242), 0);
        EXPECT_EQ(Dhub("list", &out), 2) << out;
        EXPECT_NE(out.find("belongs to uid 4242, not to this user (uid 0)"), std::string::npos) << out;
        ASSERT_EQ(chown(Runtime().c_str(), 0, 0), 0);
    }
    // Its own subdirectories are held to the same rule, and a link is no subdirectory.
    const std::string services = Runtime() + "/services";
    ASSERT_EQ(mkdir(services.c_str(), 0700), 0);
    ASSERT_EQ(chmod(services.c_str(), 0777), 0);
    ASSERT_EQ(symlink("/tmp", (Runtime() + "/userrw").c_str()), 0);
    for (const std::string& sub : {services, Runtime() + "/userrw"})
    {
        Program refused;
        ASSERT_TRUE(refused.Start({"--scenario", "addon", "--clock", "skip", "--runtime-dir", Runtime()}, Log()));
        EXPECT_EQ(refused.WaitExit(10), 2);
        EXPECT_NE(ReadTextFile(Log()).find("runtime subdirectory " + sub), std::string::npos) << ReadTextFile(Log());
        ASSERT_EQ(sub == services ? chmod(services.c_str(), 0700) : unlink(sub.c_str()), 0);
    }
    StartGateway(&veltrona, "addon");
    EXPECT_EQ(veltrona.Interrupt(10), 0);
}

TEST_F(EndToEnd, GatewayLearnsSimulatedSensorsAndPublishesTheirData)
{
    const std::vector<std::string> args = {"--scenario", "gateway", "--clock", "skip", "--set", "esp3.period_ms=40",
                                           "--runtime-dir", Runtime()};
    Program veltrona;
    ASSERT_TRUE(veltrona.Start(args, Log()));
    std::string out;
    ASSERT_EQ(Dhub("wait settings/learn --timeout 20", &out), 0) << out << ReadTextFile(Log());
    ASSERT_EQ(Dhub("push settings/learn", &out), 0) << out;
    ASSERT_EQ(Dhub("push settings/learn", &out), 0) << out;
    // The humidity sensor (A5-04-01) and a current clamp learned from its UTE teach-in.
    ASSERT_EQ(Dhub("wait sensors/E01a00005/data --timeout 20", &out), 0) << out << ReadTextFile(Log());
    ASSERT_EQ(Dhub("wait sensors/E01a00007/eep --timeout 20", &out), 0) << out;
    ASSERT_EQ(Dhub("wait sensors/E01a00001/data --timeout 20", &out), 0) << out;
    ASSERT_EQ(Dhub("get sensors/E01a00007/eep", &out), 0);
    EXPECT_EQ(out, "d23200\n");
    ASSERT_EQ(Dhub("push sensors/E01a00005/eep A50401", &out), 0) << out;
    EXPECT_EQ(veltrona.Interrupt(10), 0);
    std::string log = ReadTextFile(Log());
    EXPECT_NE(log.find("Learn Mode ON"), std::string::npos) << log;
    // The transceiver's RESPONSE (packet type 02, return code 00) to the learn command.
    size_t response = log.find("Dispatch() ");
    bool answered = false;
    while (response != std::string::npos && !answered)
    {
        size_t eol = log.find('\n', response);
        size_t next = log.find('\n', eol + 1);
        answered = log.compare(eol - 4, 4, "| 02") == 0 && log.compare(next - 4, 4, "| 00") == 0;
        response = log.find("Dispatch() ", eol);
    }
    EXPECT_TRUE(answered) << log;
    EXPECT_NE(ReadTextFile(Runtime() + "/userrw/EnOcean.txt").find("E01a00005\n"), std::string::npos);

    // After a restart the learned sensors are back, the learn window is closed and data is decoded
    // by the profile the cloud set.
    Program again;
    ASSERT_TRUE(again.Start(args, Log()));
    ASSERT_EQ(Dhub("wait sensors/E01a00005/data --timeout 20", &out), 0) << out;
    ASSERT_EQ(Dhub("watch sensors/E01a00005/data --count 1 --timeout 20", &out), 0) << out;
    EXPECT_EQ(out.find("sensors/E01a00005/data\t{\"Humidity\":50.00,\"Temperature\":"), 0u) << out;
    ASSERT_EQ(Dhub("watch sensors/E01a00001/data --count 1 --timeout 20", &out), 0) << out;
    EXPECT_EQ(out.find("sensors/E01a00001/data\t{\"RawData\": \""), 0u) << out;
    EXPECT_EQ(again.Interrupt(10), 0);
}

//--------------------------------------------------------------------------------------------------
// le_EnOcean over the service sockets
//--------------------------------------------------------------------------------------------------
namespace
{
struct Heard
{
    int handler;
    uint8_t type;
    std::vector<uint8_t> data;
};
std::vector<Heard> HeardFrames;
void Listen(uint8_t type, const uint8_t* data, size_t size, const char* unitId, const char* eep, const char* json,
            bool secure, void* context)
{
    EXPECT_STREQ(unitId, "");
    EXPECT_STREQ(eep, "");
    EXPECT_STREQ(json, "");
    EXPECT_FALSE(secure);
    HeardFrames.push_back({static_cast<int>(reinterpret_cast<intptr_t>(context)), type,
                           std::vector<uint8_t>(data, data + size)});
}

size_t ResponsesHeardBy(int handler)
{
    size_t n = 0;
    for (const Heard& h : HeardFrames) n += (h.handler == handler && h.type == 0x02 && h.data == std::vector<uint8_t>{0x00});
    return n;
}

bool RadioHeardAfter(size_t from)
{
    for (size_t i = from; i < HeardFrames.size(); i++)
        if (HeardFrames[i].type == 0x01) return true;
    return false;
}

int HeardBeforeDisconnect = 0;
void DisconnectOnFrame(uint8_t, const uint8_t*, size_t, const char*, const char*, const char*, bool, void*)
{
    HeardBeforeDisconnect++;
    le_EnOcean_DisconnectService();
}

const uint8_t LearnCommand[] = {0x17, 0x01, 0x00, 0x00, 0x00, 0x00};

class EnOceanService : public EndToEnd
{
protected:
    Program veltrona;

    void SetUp() override
    {
        HeardFrames.clear();
        StartGateway(&veltrona, "gateway");
        ASSERT_EQ(le_msg_SetServiceDirectory((Runtime() + "/services").c_str()), LE_OK);
    }
};
}

TEST_F(EnOceanService, TheToolSendsAndListensUntilTheServiceGoesAway)
{
    std::string tool = ENOCEAN_BIN;
    std::string rt = " --runtime-dir '" + Runtime() + "' ";
    std::string out;
    EXPECT_EQ(RunCommand(tool + " --help", &out), 0);
    EXPECT_NE(out.find("Usage: enocean"), std::string::npos);
    EXPECT_EQ(RunCommand(tool + rt + "send 05 '17 01 00 00 00 00' 00", &out), 0);
    EXPECT_EQ(out, "OK\n");
    EXPECT_EQ(RunCommand(tool + rt + "send 5 09 2>&1", &out), 2) << out;   // TYPE is one whole hex byte
    EXPECT_EQ(RunCommand(tool + rt + "listen --count 2 --timeout 10", &out), 0);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_NE(("\n" + out).find("\n01\t"), std::string::npos) << out;   // radio (the answer to the send may come first)
    EXPECT_EQ(RunCommand(tool + " --runtime-dir /nonexistent send 05 09 2>/dev/null", &out), 2);

    // A listener whose service goes away says so and ends with status 2.
    std::string heard = dir.File("listen.txt");
    pid_t listener = simProcess_Start(ENOCEAN_BIN, {"--runtime-dir", Runtime(), "listen", "--timeout", "30"}, heard,
                                      false);
    ASSERT_GT(listener, 0);
    ASSERT_TRUE(Becomes("test -s '" + heard + "' && echo heard", "heard", &out));   // radio came in: registered
    EXPECT_EQ(veltrona.Interrupt(10), 0);
    EXPECT_EQ(simProcess_Wait(listener, 10000), 2) << ReadTextFile(heard);
    EXPECT_NE(ReadTextFile(heard).find("enocean: le_EnOcean went away"), std::string::npos) << ReadTextFile(heard);
}

TEST_F(EnOceanService, CommandsAreAnsweredToEveryHandlerAndBadMessagesCloseOnlyTheirSession)
{
    le_msg_SessionRef_t wrong = le_msg_CreateSession(le_msg_GetProtocolRef("not-the-protocol", 131120), "le_EnOcean");
    EXPECT_EQ(le_msg_TryOpenSessionSync(wrong), LE_NOT_PERMITTED);
    le_msg_DeleteSession(wrong);

    ASSERT_EQ(le_EnOcean_TryConnectService(), LE_OK);
    ASSERT_NE(le_EnOcean_AddOnReceiveHandler(Listen, reinterpret_cast<void*>(1)), nullptr);
    le_EnOcean_ReceiveHandlerRef_t second = le_EnOcean_AddOnReceiveHandler(Listen, reinterpret_cast<void*>(2));
    ASSERT_NE(second, nullptr);
    const uint8_t opt[] = {0x00};
    EXPECT_EQ(le_EnOcean_SendData(0x05, LearnCommand, sizeof(LearnCommand), opt, 1), LE_OK);
    EXPECT_TRUE(Until([] { return ResponsesHeardBy(1) >= 1 && ResponsesHeardBy(2) >= 1; }));
    EXPECT_TRUE(Until([] { return RadioHeardAfter(0); }));   // telegrams of sensors the gateway does not know
    // Radio reaches clients also while the gateway is disabled.
    std::string out;
    ASSERT_EQ(Dhub("push settings/enable false", &out), 0) << out;
    size_t mark = HeardFrames.size();
    EXPECT_TRUE(Until([mark] { return RadioHeardAfter(mark); }));

    // Sizes a frame cannot carry are refused; zero data is accepted (and never sent).
    std::vector<uint8_t> big(65536, 0x11);
    EXPECT_EQ(le_EnOcean_SendData(0x05, LearnCommand, 1, big.data(), 256), LE_BAD_PARAMETER);
    EXPECT_EQ(le_EnOcean_SendData(0x05, big.data(), 65536, opt, 1), LE_BAD_PARAMETER);
    EXPECT_EQ(le_EnOcean_SendData(0x05, big.data(), 65537, nullptr, 0), LE_BAD_PARAMETER);
    EXPECT_EQ(le_EnOcean_SendData(0x05, nullptr, 0, opt, 1), LE_OK);
    le_EnOcean_DeleteSensor("E01a00001");
    le_EnOcean_LearnModeON();

    // Another session's unknown message id is logged and not answered; its SendData whose data
    // length says 100 bytes where 3 follow closes that session only.
    le_msg_SessionRef_t raw =
        le_msg_CreateSession(le_msg_GetProtocolRef(LE_ENOCEAN_PROTOCOL_ID, LE_ENOCEAN_LARGEST_MSG), "le_EnOcean");
    ASSERT_EQ(le_msg_TryOpenSessionSync(raw), LE_OK);
    le_msg_MessageRef_t m = le_msg_CreateMsg(raw);
    uint32_t id = 9;
    memcpy(le_msg_GetPayloadPtr(m), &id, 4);
    le_msg_SetPayloadSize(m, 4);
    le_msg_Send(m);
    m = le_msg_CreateMsg(raw);
    uint8_t* p = static_cast<uint8_t*>(le_msg_GetPayloadPtr(m));
    id = 0;
    uint32_t length = 100;
    memcpy(p, &id, 4);
    p[4] = 0x05;
    memcpy(p + 5, &length, 4);
    le_msg_SetPayloadSize(m, 12);
    le_msg_Send(m);
    EXPECT_TRUE(Until([raw] { return !le_msg_IsSessionOpen(raw); }));
    le_msg_DeleteSession(raw);

    // A removed handler hears nothing more.
    le_EnOcean_RemoveOnReceiveHandler(second);
    size_t before = ResponsesHeardBy(2);
    EXPECT_EQ(le_EnOcean_SendData(0x05, LearnCommand, sizeof(LearnCommand), opt, 1), LE_OK);
    EXPECT_TRUE(Until([] { return ResponsesHeardBy(1) >= 2; }));
    EXPECT_EQ(ResponsesHeardBy(2), before);
    le_EnOcean_DisconnectService();
    EXPECT_EQ(veltrona.Interrupt(10), 0);
    std::string log = ReadTextFile(Log());
    EXPECT_NE(log.find("le_EnOcean_DeleteSensor(E01a00001): no effect"), std::string::npos) << log;
    EXPECT_NE(log.find("le_EnOcean_LearnModeON: no effect"), std::string::npos) << log;
    EXPECT_EQ(log.find("Learn Mode ON"), std::string::npos) << log;
    EXPECT_NE(log.find("le_EnOcean: Unknowm msg id = 9"), std::string::npos) << log;
    EXPECT_NE(log.find("le_EnOcean: Error unpacking message (le_EnOcean_SendData)"), std::string::npos) << log;
}

TEST_F(EnOceanService, ClientsThatDieOrDisconnectInAHandlerLeaveNoHandlerAndMayComeBack)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        if (le_EnOcean_TryConnectService() != LE_OK) _exit(1);
        le_EnOcean_AddOnReceiveHandler(Listen, nullptr);
        kill(getpid(), SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    // The program notices the closed session in its own time.
    ASSERT_TRUE(Until([&] { return ReadTextFile(Log()).find("| Handler Removed.") != std::string::npos; }))
        << ReadTextFile(Log());

    ASSERT_EQ(le_EnOcean_TryConnectService(), LE_OK);
    ASSERT_NE(le_EnOcean_AddOnReceiveHandler(DisconnectOnFrame, nullptr), nullptr);
    for (int i = 0; i < 3; i++)
    {
        EXPECT_EQ(le_EnOcean_SendData(0x05, LearnCommand, sizeof(LearnCommand), nullptr, 0), LE_OK);
    }
    EXPECT_TRUE(Until([] { return HeardBeforeDisconnect > 0; }));
    le_event_RunUntil([](void*) { return false; }, nullptr, 700);   // more answers and telegrams arrive
    EXPECT_EQ(HeardBeforeDisconnect, 1);

    ASSERT_EQ(le_EnOcean_TryConnectService(), LE_OK);
    ASSERT_NE(le_EnOcean_AddOnReceiveHandler(Listen, reinterpret_cast<void*>(1)), nullptr);
    EXPECT_EQ(le_EnOcean_SendData(0x05, LearnCommand, sizeof(LearnCommand), nullptr, 0), LE_OK);
    EXPECT_TRUE(Until([] { return ResponsesHeardBy(1) >= 1; }));
    le_EnOcean_DisconnectService();
    EXPECT_EQ(veltrona.Interrupt(10), 0);
    // Each client's handler went with its session, the dead one's and the one that disconnected:
    // each new client's handler was the first again.
    std::string log = ReadTextFile(Log());
    EXPECT_EQ(Count(log, "| Handler Added"), 3u) << log;
    EXPECT_EQ(log.find("Handler Next Added"), std::string::npos) << log;
}

TEST_F(EndToEnd, TheConverterPublishesLiveReadingsThatFollowTheSimulatedInputs)
{
    Program veltrona;
    ASSERT_TRUE(veltrona.Start({"--scenario", "converter", "--set", "adc.ch1=1.0", "--clock", "skip", "--runtime-dir",
                                Runtime()},
                               Log()));
    std::string out;
    ASSERT_EQ(Dhub("wait uc_input1/period --timeout 20", &out), 0) << out << ReadTextFile(Log());
    ASSERT_EQ(Dhub("push uc_input1/period 1", &out), 0) << out;
    ASSERT_EQ(Dhub("push uc_input1/enable true", &out), 0) << out;
    auto valueBecomes = [&](const std::string& want) { return Becomes(DhubCommand() + "get uc_input1/value", want, &out); };
    EXPECT_TRUE(valueBecomes("50")) << out;   // 1.0 V of 2.0 V
    std::string simboard = std::string(SIMBOARD_BIN) + " --runtime-dir '" + Runtime() + "' ";
    ASSERT_EQ(RunCommand(simboard + "set adc.ch1 1.6 2>&1", &out), 0) << out;
    EXPECT_TRUE(valueBecomes("80")) << out;
    ASSERT_EQ(RunCommand(simboard + "get adc.ch1 2>&1", &out), 0);
    EXPECT_EQ(out, "1.6\n");
    ASSERT_EQ(RunCommand(simboard + "list 2>&1", &out), 0);
    EXPECT_NE(out.find("adc.address\t0x68\n"), std::string::npos) << out;
    EXPECT_EQ(RunCommand(simboard + "set adc.ch1 lots 2>/dev/null", &out), 1);
    EXPECT_EQ(RunCommand(simboard + "set eeprom.name x 2>/dev/null", &out), 1);
    EXPECT_EQ(RunCommand(simboard + "set addon.out7 0 2>/dev/null", &out), 1);   // what the board drives
    EXPECT_EQ(RunCommand(simboard + "set no.such 1 2>/dev/null", &out), 1);
    EXPECT_EQ(RunCommand(simboard + "frobnicate 2>/dev/null", &out), 2);
    EXPECT_EQ(RunCommand(std::string(SIMBOARD_BIN) + " --runtime-dir /nonexistent list 2>/dev/null", &out), 2);
    EXPECT_EQ(RunCommand(simboard + "--help", &out), 0);
    EXPECT_NE(out.find("Usage: simboard"), std::string::npos);
    EXPECT_EQ(veltrona.Interrupt(10), 0);
}

// Started by systemd with stderr to the journal: the whole log goes there, each line with its
// priority, and no file is written unless asked for.
TEST_F(EndToEnd, UnderTheJournalTheWholeLogGoesThereWithItsPriorities)
{
    const std::string journal = dir.File("journal");
    ASSERT_TRUE(WriteTextFile(journal, ""));
    struct stat st;
    ASSERT_EQ(stat(journal.c_str(), &st), 0);
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    Program veltrona;
    // A broker that is not there makes a warning.
    bool started = veltrona.Start({"--scenario", "gateway", "--clock", "skip", "--runtime-dir", Runtime(), "--set",
                                   "esp3.present=no", "--mqtt", "mqtt://127.0.0.1:1"}, journal);
    unsetenv("JOURNAL_STREAM");
    ASSERT_TRUE(started);
    std::string out;
    ASSERT_EQ(Dhub("wait settings/addon_type --timeout 20", &out), 0) << out;
    EXPECT_TRUE(Until([&] { return ReadTextFile(journal).find("\n<4>20") != std::string::npos; }));
    EXPECT_EQ(veltrona.Interrupt(10), 0);
    std::string log = ReadTextFile(journal);
    EXPECT_NE(log.find("\n<6>20"), std::string::npos) << log;   // an info line, dated
    EXPECT_NE(log.find("\n<4>20"), std::string::npos) << log;   // the broker's
    EXPECT_NE(log.find("Init Octave..."), std::string::npos) << log;
    EXPECT_NE(stat((Runtime() + "/veltrona.log").c_str(), &st), 0);
}

TEST_F(EndToEnd, AServiceManagerHearsReadyAndStoppingWhileTheConsoleStaysCalmAndTheLogFileHoldsTheTrace)
{
    std::string path = dir.File("notify.sock");
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
    auto next = [fd](int ms) {
        struct pollfd p = {fd, POLLIN, 0};
        char buf[256] = "";
        if (poll(&p, 1, ms) != 1) return std::string();
        ssize_t n = recv(fd, buf, sizeof(buf) - 1, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    };
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    Program veltrona;
    bool started = veltrona.Start({"--scenario", "gateway", "--clock", "skip", "--runtime-dir", Runtime(), "--set",
                                   "esp3.period_ms=100", "--console-level", "warning"},
                                  Log());
    unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(started);
    EXPECT_EQ(next(20000), "READY=1\nSTATUS=board mode 3 (EnOcean gateway)") << ReadTextFile(Log());
    std::string out;
    EXPECT_EQ(Dhub("get settings/addon_type", &out), 0) << out;   // ready means served
    std::string file = Runtime() + "/veltrona.log";
    ASSERT_TRUE(Becomes("grep -q 'E01a0000' '" + file + "' && echo traced", "traced", &out));
    // SIGTERM ends it as cleanly as Ctrl-C.
    EXPECT_EQ(veltrona.Terminate(10), 0);
    EXPECT_EQ(next(5000), "STOPPING=1");
    close(fd);
    std::string console = ReadTextFile(Log());
    EXPECT_EQ(console.find(" INFO | "), std::string::npos) << console;
    EXPECT_NE(console.find("veltrona: board mode 3 (EnOcean gateway)"), std::string::npos) << console;
    EXPECT_NE(console.find("log " + file), std::string::npos) << console;
    EXPECT_NE(console.find("veltrona: stopped (terminated)"), std::string::npos) << console;
    EXPECT_NE(ReadTextFile(file).find(" INFO | VeltronaComponent T=main | "), std::string::npos);
}
