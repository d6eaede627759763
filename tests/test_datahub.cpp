// Data Hub: resources, defaults, handlers, limits, admin pushes and their persistence.
#include "datahub_admin.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "le_thread.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
using Strings = std::vector<std::string>;
Strings Calls, Watched;
void Note(void* ctx, const std::string& what)
{
    Calls.push_back(static_cast<const char*>(ctx) + what);
}
void OnNumeric(double, double value, void* ctx) { Note(ctx, "=" + std::to_string(static_cast<int>(value))); }
void OnTrigger(double, void* ctx) { Note(ctx, "!"); }
void OnString(double, const char* value, void* ctx) { Note(ctx, std::string("=") + value); }

class DataHubTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        le_log_SetStderr(false);
        le_clk_SetMode(LE_CLK_VIRTUAL);
        dhub_Reset();
        Calls.clear();
        Watched.clear();
        le_log_CaptureStart();
    }
    // The hub as a restart leaves it: empty, with the settings file read again.
    void Restart(const std::string& file)
    {
        dhub_Reset();
        ASSERT_EQ(dhub_SetSettingsFile(file.c_str()), LE_OK);
    }
    static std::string Value(const char* path)
    {
        char value[64] = "";
        EXPECT_EQ(dhub_GetInfo(path, nullptr, value, sizeof(value)), LE_OK) << path;
        return value;
    }
    TempDir dir_;
};

char A[] = "a";
char B[] = "b";
char C[] = "c";
}

TEST_F(DataHubTest, DefaultIsDeliveredThroughTheLoopOnRegistrationUnlessAPushCameFirst)
{
    ASSERT_EQ(io_CreateOutput("settings/addon_type", IO_DATA_TYPE_NUMERIC, ""), LE_OK);
    io_SetNumericDefault("settings/addon_type", 0);
    ASSERT_NE(io_AddNumericPushHandler("settings/addon_type", OnNumeric, A), nullptr);
    EXPECT_TRUE(Calls.empty());   // not called from inside the registration
    le_event_RunUntilIdle();
    EXPECT_EQ(Calls, Strings{"a=0"});
    // A pushed value stands over a later default; a trigger has no value to deliver.
    ASSERT_EQ(io_CreateOutput("settings/description", IO_DATA_TYPE_STRING, ""), LE_OK);
    ASSERT_EQ(dhub_AdminPush("settings/description", "roof"), LE_OK);
    io_SetStringDefault("settings/description", "");
    io_AddStringPushHandler("settings/description", OnString, B);
    ASSERT_EQ(io_CreateOutput("settings/learn", IO_DATA_TYPE_TRIGGER, ""), LE_OK);
    io_AddTriggerPushHandler("settings/learn", OnTrigger, C);
    le_event_RunUntilIdle();
    EXPECT_EQ(Calls, (Strings{"a=0", "b=roof"}));
}

TEST_F(DataHubTest, PushesReachHandlersInRegistrationOrderAndRemovedOnesAreSilent)
{
    ASSERT_EQ(io_CreateOutput("settings/learn", IO_DATA_TYPE_TRIGGER, ""), LE_OK);
    io_AddTriggerPushHandler("settings/learn", OnTrigger, A);
    auto rb = io_AddTriggerPushHandler("settings/learn", OnTrigger, B);
    io_AddTriggerPushHandler("settings/learn", OnTrigger, C);
    ASSERT_EQ(dhub_AdminPush("settings/learn", ""), LE_OK);
    io_RemoveTriggerPushHandler(rb);   // already queued, but removed before the loop runs
    le_event_RunUntilIdle();
    EXPECT_EQ(Calls, (Strings{"a!", "c!"}));
}

TEST_F(DataHubTest, AFloodOfPushesWaitsInABoundedQueueAndTheHandlerHearsTheLast)
{
    ASSERT_EQ(io_CreateOutput("settings/level", IO_DATA_TYPE_NUMERIC, ""), LE_OK);
    io_AddNumericPushHandler("settings/level", OnNumeric, A);
    for (int i = 1; i <= 2000; i++) ASSERT_EQ(dhub_AdminPush("settings/level", std::to_string(i).c_str()), LE_OK);
    le_event_RunUntilIdle();
    ASSERT_EQ(Calls.size(), static_cast<size_t>(DHUB_MAX_WAITING_DELIVERIES));
    EXPECT_EQ(Calls.front(), "a=1");
    EXPECT_EQ(Calls.back(), "a=2000");
    EXPECT_EQ(le_log_CaptureCount("pushes to settings/level come faster than they are handled"), 1u);
    // Once the queue has drained, every push is heard again.
    Calls.clear();
    ASSERT_EQ(dhub_AdminPush("settings/level", "7"), LE_OK);
    ASSERT_EQ(dhub_AdminPush("settings/level", "8"), LE_OK);
    le_event_RunUntilIdle();
    EXPECT_EQ(Calls, (Strings{"a=7", "a=8"}));
}

TEST_F(DataHubTest, CreateRulesAndTypes)
{
    const char* data = "sensors/E0123abcd/data";
    EXPECT_EQ(io_CreateInput(data, IO_DATA_TYPE_JSON, ""), LE_OK);
    EXPECT_EQ(io_CreateInput(data, IO_DATA_TYPE_JSON, ""), LE_OK);   // same again
    EXPECT_EQ(io_CreateOutput(data, IO_DATA_TYPE_JSON, ""), LE_DUPLICATE);
    EXPECT_EQ(io_CreateInput(data, IO_DATA_TYPE_JSON, "percent"), LE_DUPLICATE);

    io_PushJson(data, IO_NOW, "{\"t\":21.5}");
    char text[64];
    double ts = 0;
    ASSERT_EQ(io_GetString(data, &ts, text, sizeof(text)), LE_OK);
    EXPECT_STREQ(text, "{\"t\":21.5}");
    EXPECT_GT(ts, 1.7e9);   // "now" as seconds since 1970
    EXPECT_EQ(io_GetString(data, &ts, text, 4), LE_OVERFLOW);
    io_PushNumeric(data, IO_NOW, 1.0);   // wrong type: refused
    ASSERT_EQ(io_GetString(data, nullptr, text, sizeof(text)), LE_OK);
    EXPECT_STREQ(text, "{\"t\":21.5}");

    ASSERT_EQ(io_CreateOutput("settings/enable", IO_DATA_TYPE_BOOLEAN, ""), LE_OK);
    io_PushBoolean("settings/enable", IO_NOW, true);   // the component does not push its own settings
    bool b = true;
    EXPECT_EQ(io_GetBoolean("settings/enable", nullptr, &b), LE_UNAVAILABLE);
    double d;
    EXPECT_EQ(io_GetNumeric("settings/none", nullptr, &d), LE_NOT_FOUND);
}

TEST_F(DataHubTest, LimitsAreRefusedWithALogLineNotAnAbort)
{
    std::string path79 = "settings/" + std::string(70, 'x');
    EXPECT_EQ(io_CreateInput(path79.c_str(), IO_DATA_TYPE_NUMERIC, ""), LE_OK);
    EXPECT_EQ(io_CreateInput((path79 + "y").c_str(), IO_DATA_TYPE_NUMERIC, ""), LE_BAD_PARAMETER);
    EXPECT_EQ(le_log_CaptureCount("path longer than 79"), 1u);

    for (const char* bad : {"a/../b", "a//b", "/abs", "a/", "x[1]", ""})
    {
        EXPECT_EQ(io_CreateOutput(bad, IO_DATA_TYPE_NUMERIC, ""), LE_BAD_PARAMETER) << bad;
        EXPECT_EQ(io_AddNumericPushHandler(bad, OnNumeric, A), nullptr) << bad;
    }
    EXPECT_EQ(io_CreateOutput("a/..b/c.d", IO_DATA_TYPE_NUMERIC, ""), LE_OK);   // dots inside names are fine

    EXPECT_EQ(io_CreateOutput("u/ok", IO_DATA_TYPE_NUMERIC, std::string(23, 'u').c_str()), LE_OK);
    EXPECT_EQ(io_CreateOutput("u/long", IO_DATA_TYPE_NUMERIC, std::string(24, 'u').c_str()), LE_BAD_PARAMETER);

    ASSERT_EQ(io_CreateInput("text", IO_DATA_TYPE_STRING, ""), LE_OK);
    std::string longest(IO_MAX_STRING_VALUE_LEN, 'v');
    std::vector<char> buf(IO_MAX_STRING_VALUE_LEN + 1);
    for (const std::string& pushed : {longest, longest + "v"})   // the longer one leaves the old value
    {
        io_PushString("text", IO_NOW, pushed.c_str());
        ASSERT_EQ(io_GetString("text", nullptr, buf.data(), buf.size()), LE_OK);
        EXPECT_EQ(std::string(buf.data()), longest);
    }
    EXPECT_EQ(le_log_CaptureCount("value longer than 50000"), 1u);
}

TEST_F(DataHubTest, HandlersOutliveDeleteAndHearTheResourceAgain)
{
    io_AddNumericPushHandler("settings/interval", OnNumeric, A);   // before the resource exists
    ASSERT_EQ(io_CreateOutput("settings/interval", IO_DATA_TYPE_NUMERIC, "s"), LE_OK);
    io_SetNumericDefault("settings/interval", 60);
    le_event_RunUntilIdle();
    EXPECT_EQ(Calls, Strings{"a=60"});
    io_DeleteResource("settings/interval");
    dhub_ResourceInfo_t info;
    EXPECT_EQ(dhub_GetInfo("settings/interval", &info, nullptr, 0), LE_UNAVAILABLE);
    EXPECT_EQ(info.kind, DHUB_KIND_PLACEHOLDER);
    EXPECT_EQ(dhub_AdminPush("settings/interval", "5"), LE_NOT_FOUND);
    ASSERT_EQ(io_CreateOutput("settings/interval", IO_DATA_TYPE_NUMERIC, "s"), LE_OK);
    ASSERT_EQ(dhub_AdminPush("settings/interval", "5"), LE_OK);
    le_event_RunUntilIdle();
    EXPECT_EQ(Calls, (Strings{"a=60", "a=5"}));
}

TEST_F(DataHubTest, AdminPushedSettingsSurviveARestart)
{
    std::string file = dir_.File("settings.txt");
    ASSERT_EQ(dhub_SetSettingsFile(file.c_str()), LE_OK);   // absent file: nothing kept yet
    ASSERT_EQ(io_CreateOutput("settings/description", IO_DATA_TYPE_STRING, ""), LE_OK);
    ASSERT_EQ(io_CreateOutput("settings/addon_type", IO_DATA_TYPE_NUMERIC, ""), LE_OK);
    ASSERT_EQ(io_CreateOutput("settings/learn", IO_DATA_TYPE_TRIGGER, ""), LE_OK);
    ASSERT_EQ(dhub_AdminPush("settings/description", "line one\nline\ttwo \\ end"), LE_OK);
    ASSERT_EQ(dhub_AdminPush("settings/addon_type", "7"), LE_OK);
    ASSERT_EQ(dhub_AdminPush("settings/learn", ""), LE_OK);   // triggers are not kept
    EXPECT_EQ(access((file + ".tmp").c_str(), F_OK), -1);   // no temporary left behind

    Restart(file);
    ASSERT_EQ(io_CreateOutput("settings/addon_type", IO_DATA_TYPE_NUMERIC, ""), LE_OK);
    io_SetNumericDefault("settings/addon_type", 0);
    io_AddNumericPushHandler("settings/addon_type", OnNumeric, A);
    ASSERT_EQ(io_CreateOutput("settings/description", IO_DATA_TYPE_STRING, ""), LE_OK);
    io_AddStringPushHandler("settings/description", OnString, B);
    le_event_RunUntilIdle();
    EXPECT_EQ(Calls, (Strings{"a=7", "b=line one\nline\ttwo \\ end"}));
    // A kept value of another type is not forced on a resource created differently.
    Restart(file);
    ASSERT_EQ(io_CreateOutput("settings/addon_type", IO_DATA_TYPE_STRING, ""), LE_OK);
    EXPECT_EQ(dhub_GetInfo("settings/addon_type", nullptr, nullptr, 0), LE_UNAVAILABLE);
}

TEST_F(DataHubTest, ConcurrentKeptPushesShareTheirWritesAndAllReachTheFile)
{
    std::string file = dir_.File("settings.txt");
    ASSERT_EQ(dhub_SetSettingsFile(file.c_str()), LE_OK);
    const int pushes = 50;
    const Strings paths = {"settings/s0", "settings/s1", "settings/s2", "settings/s3"};
    for (const std::string& path : paths) ASSERT_EQ(io_CreateOutput(path.c_str(), IO_DATA_TYPE_NUMERIC, ""), LE_OK);
    unsigned writesBefore = dhub_SettingsWrites();
    std::atomic<int> failed{0};
    std::vector<std::thread> pushers;
    for (const std::string& path : paths)
    {
        pushers.emplace_back([&path, &failed] {
            for (int i = 1; i <= pushes; i++) failed += dhub_AdminPush(path.c_str(), std::to_string(i).c_str()) != LE_OK;
        });
    }
    for (std::thread& p : pushers) p.join();
    EXPECT_EQ(failed, 0);
    // Every push waited for a write that holds it; pushes made while a write was under way shared one.
    EXPECT_LT(dhub_SettingsWrites() - writesBefore, paths.size() * pushes);
    std::string kept = ReadTextFile(file);
    for (const std::string& path : paths) EXPECT_NE(kept.find(path + "\tnumeric\t50\n"), std::string::npos) << kept;
    // A batch applied first and kept with one write.
    uint64_t version = 0, newest = 0;
    writesBefore = dhub_SettingsWrites();
    for (int i = 0; i < 50; i++)
    {
        ASSERT_EQ(dhub_AdminApply("settings/s0", std::to_string(1000 + i).c_str(), &version), LE_OK);
        newest = std::max(newest, version);
    }
    EXPECT_TRUE(dhub_Keep(newest));
    EXPECT_EQ(dhub_SettingsWrites() - writesBefore, 1u);
    EXPECT_NE(ReadTextFile(file).find("settings/s0\tnumeric\t1049\n"), std::string::npos);
}

TEST_F(DataHubTest, DamagedOrUnwritableSettingsFile)
{
    std::string file = dir_.File("settings.txt");
    ASSERT_TRUE(WriteTextFile(file, "settings/a\tnumeric\t3\ngarbage line\nsettings/b\tbogus\t1\n../x\tnumeric\t1\n"));
    ASSERT_EQ(dhub_SetSettingsFile(file.c_str()), LE_OK);
    EXPECT_EQ(le_log_CaptureCount("is not a setting; skipped"), 3u);
    ASSERT_EQ(io_CreateOutput("settings/a", IO_DATA_TYPE_NUMERIC, ""), LE_OK);
    EXPECT_EQ(Value("settings/a"), "3");
    // The directory becomes read-only (for root, which ignores that, the temporary's name is taken
    // by a directory): the push is applied, but the caller is told it will not survive a restart.
    if (geteuid() != 0) ASSERT_EQ(chmod(dir_.Path().c_str(), 0500), 0);
    else ASSERT_EQ(mkdir((file + ".tmp").c_str(), 0700), 0);
    std::string before = ReadTextFile(file);
    EXPECT_EQ(dhub_AdminPush("settings/a", "4"), LE_IO_ERROR);
    EXPECT_EQ(Value("settings/a"), "4");
    EXPECT_EQ(le_log_CaptureCount("settings could not be kept"), 1u);
    EXPECT_EQ(ReadTextFile(file), before);
    chmod(dir_.Path().c_str(), 0700);
}

namespace
{
void OnWatch(const char* path, io_DataType_t, double, const char* value, void*)
{
    Watched.push_back(std::string(path) + "=" + value);
}

std::atomic<bool> WorkerGotIt{false};
std::atomic<le_thread_Ref_t> WorkerThread{nullptr};
void WorkerHandler(double, double, void*)
{
    WorkerGotIt = (le_thread_GetCurrent() == WorkerThread.load());
}
void* Worker(void*)
{
    WorkerThread = le_thread_GetCurrent();
    io_AddNumericPushHandler("uc_input1/value", WorkerHandler, nullptr);
    le_event_RunLoop();
    return nullptr;
}
}

TEST_F(DataHubTest, WatchesSeeComponentAndAdminPushesAndHandlersRunOnTheirThread)
{
    ASSERT_EQ(io_CreateInput("uc_input1/value", IO_DATA_TYPE_NUMERIC, "percent"), LE_OK);
    ASSERT_EQ(io_CreateOutput("uc_input1/period", IO_DATA_TYPE_NUMERIC, "s"), LE_OK);
    void* w = dhub_AddWatch("uc_input1/", OnWatch, nullptr);

    le_thread_Ref_t t = le_thread_Create("worker", Worker, nullptr);
    le_thread_SetJoinable(t);
    le_thread_Start(t);
    while (WorkerThread.load() == nullptr) usleep(1000);
    usleep(20000);
    io_PushNumeric("uc_input1/value", IO_NOW, 42.5);
    dhub_AdminPush("uc_input1/period", "10");
    for (int i = 0; i < 2000 && !WorkerGotIt; i++) usleep(1000);
    EXPECT_TRUE(WorkerGotIt.load());
    le_event_StopLoop(t, 0);
    le_thread_Join(t, nullptr);
    // The ended thread's handler is gone: later pushes are not queued to its freed loop.
    dhub_ResourceInfo_t info;
    ASSERT_EQ(dhub_GetInfo("uc_input1/value", &info, nullptr, 0), LE_OK);
    EXPECT_EQ(info.handlerCount, 0u);

    EXPECT_EQ(Watched, (Strings{"uc_input1/value=42.5", "uc_input1/period=10"}));
    dhub_RemoveWatch(w);
    io_PushNumeric("uc_input1/value", IO_NOW, 1);
    EXPECT_EQ(Watched.size(), 2u);
}

namespace
{
Strings Changes;
void OnChange(const dhub_Change_t* c, void*)
{
    static const char* const names[] = {"push", "default", "delete"};
    Changes.push_back(std::string(names[c->change]) + " " + c->path + " " + dhub_TypeName(c->dataType) + " " +
                      (c->kind == DHUB_KIND_INPUT ? "in" : "out") + " '" + c->value + "'");
}
}

TEST_F(DataHubTest, ChangeWatchesSeeDefaultsKeptSettingsAndDeletionsThatPushWatchesDoNot)
{
    std::string file = dir_.File("settings.txt");
    ASSERT_EQ(dhub_SetSettingsFile(file.c_str()), LE_OK);
    ASSERT_EQ(io_CreateOutput("settings/enable", IO_DATA_TYPE_BOOLEAN, ""), LE_OK);
    ASSERT_EQ(dhub_AdminPush("settings/enable", "false"), LE_OK);
    Restart(file);
    void* changes = dhub_AddChangeWatch("settings/", OnChange, nullptr);
    void* pushes = dhub_AddWatch("settings/", OnWatch, nullptr);

    ASSERT_EQ(io_CreateOutput("settings/enable", IO_DATA_TYPE_BOOLEAN, ""), LE_OK);   // the kept value comes back
    io_SetBooleanDefault("settings/enable", true);                                   // and stands over the default
    ASSERT_EQ(io_CreateInput("settings/level", IO_DATA_TYPE_NUMERIC, ""), LE_OK);
    io_SetNumericDefault("settings/level", 3);
    io_PushNumeric("settings/level", IO_NOW, 4.25);
    io_DeleteResource("settings/level");
    io_DeleteResource("settings/level");   // gone already: nothing to tell
    io_AddNumericPushHandler("settings/later", OnNumeric, A);
    io_DeleteResource("settings/later");   // a placeholder was never a resource
    ASSERT_EQ(dhub_AdminPush("settings/enable", "1"), LE_OK);
    io_PushNumeric("other/x", IO_NOW, 1);   // outside the prefix

    EXPECT_EQ(Changes, (Strings{"push settings/enable boolean out 'false'", "default settings/level numeric in '3'",
                                "push settings/level numeric in '4.25'", "delete settings/level numeric in ''",
                                "push settings/enable boolean out 'true'"}));
    EXPECT_EQ(Watched, (Strings{"settings/level=4.25", "settings/enable=true"}));
    dhub_RemoveWatch(changes);
    dhub_RemoveWatch(pushes);
    io_PushNumeric("settings/level", IO_NOW, 5);
    EXPECT_EQ(Changes.size(), 5u);
}

// The admin socket
namespace
{
class AdminServerTest : public DataHubTest
{
protected:
    std::string socket_;
    void SetUp() override
    {
        DataHubTest::SetUp();
        socket_ = dir_.File("admin.sock");
        ASSERT_EQ(dhub_StartAdminServer(socket_.c_str()), LE_OK);
    }
    void TearDown() override { dhub_StopAdminServer(); }

    // One answer line, or "" when none came within the time.
    static std::string ReadLine(int fd, int timeoutMs)
    {
        std::string line;
        char c;
        while (true)
        {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) != 1 || read(fd, &c, 1) != 1) return "";
            if (c == '\n') return line;
            line += c;
        }
    }
    static bool Send(int fd, const std::string& text)
    {
        return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    // The answer line to a request, "" when none came.
    static std::string Ask(int fd, const std::string& request)
    {
        return Send(fd, request + "\n") ? ReadLine(fd, 2000) : "";
    }
};
}

TEST_F(AdminServerTest, AClientThatDoesNotReadIsClosedAndNeverHoldsUpOthers)
{
    // Large values make every LIST answer about 1 MB.
    for (int i = 0; i < 25; i++)
    {
        std::string path = "big/" + std::to_string(i);
        ASSERT_EQ(io_CreateInput(path.c_str(), IO_DATA_TYPE_STRING, ""), LE_OK);
        io_PushString(path.c_str(), IO_NOW, std::string(40000, 'v').c_str());
    }
    ASSERT_EQ(io_CreateOutput("settings/x", IO_DATA_TYPE_NUMERIC, ""), LE_OK);
    io_SetNumericDefault("settings/x", 7);
    int slow = ConnectUnix(socket_);
    std::string lists;
    for (int i = 0; i < 20; i++) lists += "LIST\n";
    ASSERT_TRUE(Send(slow, lists));   // and never reads
    int fast = ConnectUnix(socket_);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ask(fast, "GET\tsettings/x").substr(0, 10), "OK\tnumeric");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    for (int i = 0; i < 200 && le_log_CaptureCount("does not read its answers was closed") == 0; i++) usleep(10000);
    EXPECT_EQ(le_log_CaptureCount("does not read its answers was closed"), 1u);
    close(slow);
    close(fast);
}

TEST_F(AdminServerTest, APushWithABadlyEscapedValueIsRefused)
{
    ASSERT_EQ(io_CreateOutput("settings/name", IO_DATA_TYPE_STRING, ""), LE_OK);
    int fd = ConnectUnix(socket_);
    EXPECT_EQ(Ask(fd, "PUSH\tsettings/name\tone\\ttwo"), "OK");
    EXPECT_EQ(Ask(fd, "PUSH\tsettings/name\tbad\\q"), "ERR\tbadly escaped or too long value");
    EXPECT_EQ(Value("settings/name"), "one\ttwo");
    close(fd);
}

TEST_F(AdminServerTest, The65thClientIsRefusedWhileTheFirst64AreServed)
{
    std::vector<int> clients;
    for (int i = 0; i < 64; i++)
    {
        clients.push_back(ConnectUnix(socket_));
        ASSERT_EQ(Ask(clients.back(), "GET\tnothing"), "ERR\tno such resource") << i;
    }
    int extra = ConnectUnix(socket_);
    EXPECT_EQ(ReadLine(extra, 2000), "ERR\ttoo many admin clients");
    char c;
    EXPECT_EQ(read(extra, &c, 1), 0);
    close(extra);
    EXPECT_EQ(Ask(clients.back(), "GET\tnothing"), "ERR\tno such resource");
    close(clients.back());
    clients.pop_back();
    usleep(300 * 1000);   // the server notices the close
    extra = ConnectUnix(socket_);
    EXPECT_EQ(Ask(extra, "GET\tnothing"), "ERR\tno such resource");
    close(extra);
    for (int fd : clients) close(fd);
}

TEST_F(AdminServerTest, AcceptingPausesWhileOutOfDescriptorsAndResumes)
{
    DescriptorsUsedUp full;   // the client's socket takes the last descriptor
    int client = ConnectUnix(socket_);
    ASSERT_GE(client, 0);
    usleep(700 * 1000);   // accepting is retried every 500 ms, not in a busy loop
    size_t failures = le_log_CaptureCount("Data Hub admin: cannot accept a client");
    EXPECT_GE(failures, 1u);
    EXPECT_LE(failures, 3u);
    full.Release();
    EXPECT_EQ(Ask(client, "GET\tnothing"), "ERR\tno such resource");
    close(client);
}

// Escaping round trips are the admin fuzz target's (fuzz_admin); a bad escape is refused above.
TEST(DataHubText, Numbers)
{
    char out[64];
    dhub_FormatNumber(0.1, out, sizeof(out));
    EXPECT_STREQ(out, "0.1");
    dhub_FormatNumber(60000, out, sizeof(out));
    EXPECT_STREQ(out, "60000");
    dhub_FormatNumber(1.0 / 3.0, out, sizeof(out));   // as many digits as it takes to read back exactly
    EXPECT_EQ(strtod(out, nullptr), 1.0 / 3.0);
}

TEST(DataHubText, JsonIsCheckedWholeAndWithinItsNesting)
{
    const std::string deep = std::string(64, '[') + std::string(64, ']');
    const std::pair<std::string, bool> texts[] = {
        {" {\"a\": [1, -2.5e3, true, null, \"x\\u00e9\\n\"], \"b\": {}} ", true}, {"0", true}, {deep, true},
        {"[" + deep + "]", false}, {"{\"a\":1,}", false}, {"[1 2]", false}, {"\"tab\there\"", false},
        {"01", false}, {"1.", false}, {"{\"a\"}", false}, {"\"open", false}, {"[", false}, {"{} x", false}, {"", false},
        {"\"\\u12\"", false}, {"nul", false}};
    for (const auto& t : texts) EXPECT_EQ(dhub_IsJson(t.first.c_str()), t.second) << t.first;
    EXPECT_EQ(dhub_JsonString("q\"\\\x01"), "\"q\\\"\\\\\\u0001\"");
}
