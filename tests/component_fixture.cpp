#include "component_fixture.h"

#include <cstring>
#include <unistd.h>

void ComponentTest::SetUp()
{
    le_log_SetStderr(false);
    le_clk_SetMode(LE_CLK_VIRTUAL);
    le_log_CaptureStart();
    pa_path_ClearMappings();
    ASSERT_EQ(pa_path_AddMapping("/mnt/userrw", dir.Path().c_str()), LE_OK);
    // Devices the scenario does not provide are looked for here, never in the real /dev.
    ASSERT_EQ(pa_path_AddMapping("/dev", dir.File("dev").c_str()), LE_OK);
    ASSERT_EQ(le_msg_SetServiceDirectory(dir.File("services").c_str()), LE_OK);
    pa_appCtrl_SetOwnName("Veltrona");
    dhub_Reset();
    pa_i2cSim_RemoveAll();
}

void ComponentTest::TearDown()
{
    // The component logs every message at info level (its initialiser's announcement at debug).
    for (const char* level : {" WARN | VeltronaComponent ", " =ERR= | VeltronaComponent ",
                              " *CRT* | VeltronaComponent ", " *EMR* | VeltronaComponent "})
    {
        EXPECT_EQ(CountLinesWith(level, ""), 0u) << "component lines logged at" << level;
    }
    le_log_CaptureStop();
    pa_i2cSim_RemoveAll();
    pa_path_ClearMappings();
}

void ComponentTest::Boot(const char* preset, const std::vector<std::pair<std::string, std::string>>& settings)
{
    char err[256] = "";
    ASSERT_TRUE(simBoard_LoadPreset(preset, err, sizeof(err))) << err;
    for (const auto& kv : settings)
    {
        ASSERT_TRUE(simBoard_Set(kv.first.c_str(), kv.second.c_str(), err, sizeof(err))) << err;
    }
    simBoard_Install();
    startMs = le_clk_NowMs();
    _VeltronaComponent_Init();
    le_event_RunUntilIdle();
}

bool ComponentTest::HasResource(const char* path)
{
    dhub_ResourceInfo_t info;
    // A placeholder (handlers waiting for a resource) is not a resource.
    return dhub_GetInfo(path, &info, nullptr, 0) != LE_NOT_FOUND && info.kind != DHUB_KIND_PLACEHOLDER;
}

void ComponentTest::Push(const char* path, const char* value)
{
    ASSERT_EQ(dhub_AdminPush(path, value), LE_OK) << path;
    le_event_RunUntilIdle();
}

std::string ComponentTest::Value(const char* path)
{
    std::vector<char> value(DHUB_TEXT_MAX);
    if (dhub_GetInfo(path, nullptr, value.data(), value.size()) != LE_OK) return "";
    return value.data();
}

size_t ComponentTest::CountLinesWith(const char* a, const char* b)
{
    size_t n = 0;
    for (size_t i = 0; i < le_log_CaptureSize(); i++)
    {
        char line[1200];
        le_log_CaptureLine(i, line, sizeof(line));
        if (strstr(line, a) && strstr(line, b)) n++;
    }
    return n;
}

size_t ComponentTest::CountMessages(const char* message)
{
    size_t n = 0;
    for (size_t i = 0; i < le_log_CaptureSize(); i++)
    {
        char line[1200];
        le_log_CaptureLine(i, line, sizeof(line));
        const char* bar = strstr(line, ") ");
        const char* text = bar ? strstr(bar, " | ") : nullptr;
        if (text && strcmp(text + 3, message) == 0) n++;
    }
    return n;
}

void PortTest::SetUp()
{
    ComponentTest::SetUp();
    char slave[256];
    ASSERT_TRUE(simPty_Open(&pty, slave, sizeof(slave)));
    ASSERT_EQ(pa_path_AddMapping(devicePath_, slave), LE_OK);
}

void PortTest::TearDown()
{
    simPty_Close(&pty);
    ComponentTest::TearDown();
}

void PortTest::Feed(const Bytes& bytes)
{
    ASSERT_EQ(write(pty.master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

void PortTest::Collect()
{
    uint8_t buf[4096];
    ssize_t n;
    while ((n = read(pty.master, buf, sizeof(buf))) > 0) sent.insert(sent.end(), buf, buf + n);
}

void PortTest::Settle()
{
    for (int i = 0; i < 20; i++)
    {
        usleep(2000);
        le_event_ServiceOnce(0);
    }
    le_event_RunUntilIdle();
    Collect();
}
