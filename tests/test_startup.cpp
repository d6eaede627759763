// Start-up and board identification, run on the simulated board and the virtual clock.
#include "component_fixture.h"
#include "le_gpio.h"

#include <sys/stat.h>

namespace
{
const char* const Signature = "VELTRONA made in Poland";

class StartupTest : public ComponentTest
{
protected:
    pa_gpioSim_State_t Pin8()
    {
        pa_gpioSim_State_t state{};
        EXPECT_TRUE(pa_gpioSim_GetState(8, &state));
        return state;
    }

    // Loads the preset with the settings, without starting anything.
    void Install(const char* preset, const std::vector<std::pair<std::string, std::string>>& settings = {})
    {
        char err[256] = "";
        ASSERT_TRUE(simBoard_LoadPreset(preset, err, sizeof(err))) << err;
        for (const auto& kv : settings)
        {
            ASSERT_TRUE(simBoard_Set(kv.first.c_str(), kv.second.c_str(), err, sizeof(err))) << err;
        }
        simBoard_Install();
    }
};
}

//--------------------------------------------------------------------------------------------------
// Identification: every row of the scoring table, the bounded-comparison corners, and the example
// scenario files
//--------------------------------------------------------------------------------------------------
TEST_F(StartupTest, BlocksGiveTheBoardMode)
{
    struct Row { const char* signature; const char* name; uint8_t mode; };
    const Row rows[] = {
        {Signature, "Wavelet gateway", 3},        {Signature, "Wavelet", 3},
        {Signature, "Wavelet gateway 2", 3},      {Signature, "WaveletXYZ", 3},
        {Signature, "Analog Front Module 4i", 2}, {Signature, "Analog Front Module 4i rev.B", 2},
        {Signature, "BasaltBoard++", 2},          {Signature, "Add-on carrier", 1},
        {Signature, "", 1},                       {"", "Wavelet gateway", 2},
        {"", "Analog Front Module 4i", 1},        {"", "BasaltBoard++", 1},
        {"", "Add-on carrier", 0},                {"", "", 0},
        // Near misses: one character short, a different case, or text after the base-board name.
        {Signature, "Wavele", 1},                 {Signature, "wavelet gateway", 1},
        {Signature, "Analog Front Module 4", 1},  {Signature, "BasaltBoard++X", 1},
        {Signature, "BasaltBoard+", 1},           {"VELTRONA made in Polan", "Wavelet gateway", 2},
        {"VELTRONA made in Poland, 2026", "Add-on carrier", 1}, {"veltrona made in poland", "", 0},
    };
    for (const Row& row : rows)
    {
        Install("none", {{"eeprom.signature", row.signature}, {"eeprom.name", row.name}});
        size_t signed_ = le_log_CaptureCount("Init Octave...");
        EXPECT_EQ(ReadEEPROM(), row.mode) << "signature '" << row.signature << "', name '" << row.name << "'";
        EXPECT_EQ(le_log_CaptureCount("Init Octave...") - signed_,
                  std::string(row.signature).rfind(Signature, 0) == 0 ? 1u : 0u)
            << row.signature;
    }
    // A base-board name with a stray byte after it, an unsigned gateway, a gateway without expander.
    const std::pair<const char*, uint8_t> examples[] = {
        {"basalt-trailing-byte.ini", 1}, {"gateway-no-expander.ini", 3}, {"unsigned-gateway.ini", 2}};
    for (const auto& example : examples)
    {
        char err[256] = "";
        std::string path = std::string(VELTRONA_SOURCE_DIR) + "/sim/scenarios/" + example.first;
        ASSERT_TRUE(simBoard_LoadFile(path.c_str(), err, sizeof(err))) << err;
        simBoard_Install();
        EXPECT_EQ(ReadEEPROM(), example.second) << example.first;
    }
    EXPECT_EQ(le_log_CaptureCount("| Error"), 0u);   // identification does not touch the expander
}

//--------------------------------------------------------------------------------------------------
// EEPROM access failures: mode 0, and the app stops itself ten seconds later
//--------------------------------------------------------------------------------------------------
namespace
{
struct EepromFault
{
    const char* name;
    const char* preset;
    std::vector<std::pair<std::string, std::string>> settings;
    bool busFault;
};

void PrintTo(const EepromFault& f, std::ostream* os) { *os << f.name; }
class EepromFaultTest : public StartupTest, public ::testing::WithParamInterface<EepromFault> {};
}

TEST_P(EepromFaultTest, GivesModeZeroAndStopsTheAppTenSecondsLater)
{
    Install(GetParam().preset, GetParam().settings);
    pa_i2cSim_SetBusFault(SIM_EEPROM_BUS, GetParam().busFault);
    startMs = le_clk_NowMs();
    _VeltronaComponent_Init();
    EXPECT_EQ(le_event_RunLoop(), 0);   // the stop ends the loop
    EXPECT_EQ(BoardType, 0);
    EXPECT_EQ(le_log_CaptureCount(Signature), 0u);
    EXPECT_EQ(le_log_CaptureCount("Init Octave..."), 0u);
    EXPECT_EQ(pa_appCtrl_GetStopCount(), 1u);
    EXPECT_STREQ(pa_appCtrl_GetLastStopped(), "Veltrona");
    EXPECT_EQ(pa_appCtrl_GetLastStopTime() - startMs, 10000u);
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_ERR, ""), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Eeprom, EepromFaultTest,
    ::testing::Values(EepromFault{"Unreadable", "unreadable", {}, false}, EepromFault{"Absent", "absent", {}, false},
                      EepromFault{"FailingBus", "gateway", {}, true},
                      EepromFault{"ShortReads", "gateway", {{"eeprom.short_reads", "yes"}}, false}),
    [](const ::testing::TestParamInfo<EepromFault>& info) { return std::string(info.param.name); });

TEST_F(StartupTest, TheNameBlocksAreLoggedEscapedAndAtMostThirtyTwoCharacters)
{
    // Block A filled with 32 letters and no terminating zero; block B follows it directly.
    std::string letters;
    for (int i = 0; i < 32; i++) letters += "41 ";
    Install("gateway", {{"eeprom.at.4", letters}});
    EXPECT_EQ(ReadEEPROM(), 2);   // no signature, gateway name
    Install("none");   // erased EEPROM: every byte 0xFF
    ReadEEPROM();
    std::string erased;
    for (int i = 0; i < 32; i++) erased += "\\xff";
    for (const std::string& block : {std::string(32, 'A'), erased})
    {
        long at = le_log_CaptureFind(block.c_str(), 0);
        ASSERT_GE(at, 0) << block;
        char line[1200];
        ASSERT_TRUE(le_log_CaptureLine(static_cast<size_t>(at), line, sizeof(line)));
        std::string text(line);
        EXPECT_EQ(text.substr(text.size() - block.size()), block);   // nothing of block B after it
        EXPECT_EQ(text.find('\xff'), std::string::npos);
    }
}

//--------------------------------------------------------------------------------------------------
// Board expander
//--------------------------------------------------------------------------------------------------
// Nothing runs before the loop: the initialiser advertises the services and queues the start-up.
TEST_F(StartupTest, TheStartUpWaitsForTheLoopAndWritesBankBOfTheExpanderInOrder)
{
    le_log_SetGlobalFilterLevel(LE_LOG_DEBUG);
    Install("gateway");
    _VeltronaComponent_Init();
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_DEBUG, "Initializing VeltronaComponent component library."), 1u);
    EXPECT_EQ(simBoard_ExpanderWriteCount(), 0u);
    for (const char* name : {"le_ExtAdc", "le_ExtAdcAddON", "le_EnOcean", "le_EModbus"})
    {
        struct stat st;
        EXPECT_EQ(stat(dir.File("services/" + std::string(name)).c_str(), &st), 0) << name;
    }
    le_event_RunUntilIdle();
    ASSERT_EQ(simBoard_ExpanderWriteCount(), 3u);
    const std::pair<uint8_t, uint8_t> expected[] = {{0x0E, 0x00}, {0x10, 0x01}, {0x10, 0x00}};
    for (size_t i = 0; i < 3; i++)
    {
        uint8_t reg = 0, value = 0xFF;
        ASSERT_TRUE(simBoard_ExpanderWrite(i, &reg, &value));
        EXPECT_EQ(reg, expected[i].first) << i;
        EXPECT_EQ(value, expected[i].second) << i;
    }
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_INFO, "| OK"), 3u);
    // Line 0 went high before the EEPROM was read and low after.
    long high = le_log_CaptureFind("| OK", 0);
    long high2 = le_log_CaptureFind("| OK", static_cast<size_t>(high) + 1);
    long identified = le_log_CaptureFind("Init Octave...", 0);
    long low = le_log_CaptureFind("| OK", static_cast<size_t>(high2) + 1);
    EXPECT_LT(high2, identified);
    EXPECT_GT(low, identified);
}

TEST_F(StartupTest, ExpanderFailuresAreLoggedAndStartUpGoesOn)
{
    Boot("gateway", {{"expander.present", "no"}});
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_INFO, "| Error"), 3u);
    EXPECT_EQ(le_log_CaptureCount("| OK"), 0u);
    EXPECT_EQ(BoardType, 3);
}

TEST_F(StartupTest, FailingExpanderBusLogsErrors)
{
    Install("converter");
    pa_i2cSim_SetBusFault(SIM_EXPANDER_BUS, true);
    _VeltronaComponent_Init();
    le_event_RunUntilIdle();
    EXPECT_EQ(le_log_CaptureCount("| Error"), 3u);
    EXPECT_EQ(BoardType, 2);
}

TEST_F(StartupTest, MissingExpanderBusIsSilent)
{
    Boot("converter", {{"bus.i2c-8", "no"}});
    EXPECT_EQ(le_log_CaptureCount("| OK"), 0u);
    EXPECT_EQ(le_log_CaptureCount("| Error"), 0u);
    EXPECT_EQ(simBoard_ExpanderWriteCount(), 0u);
    EXPECT_EQ(BoardType, 2);
}

//--------------------------------------------------------------------------------------------------
// What each mode builds
//--------------------------------------------------------------------------------------------------
namespace
{
class ModeTest : public StartupTest, public ::testing::WithParamInterface<const char*> {};
}

TEST_P(ModeTest, OffersTheAddOnTypePreparesPin8AndRunsOn)
{
    Boot(GetParam());
    EXPECT_NE(BoardType, 0);
    dhub_ResourceInfo_t info;
    char value[64];
    ASSERT_EQ(dhub_GetInfo("settings/addon_type", &info, value, sizeof(value)), LE_OK);
    EXPECT_EQ(info.kind, DHUB_KIND_OUTPUT);
    EXPECT_EQ(info.dataType, IO_DATA_TYPE_NUMERIC);
    EXPECT_TRUE(info.isDefault);
    EXPECT_STREQ(value, "0");
    pa_gpioSim_State_t pin = Pin8();
    EXPECT_TRUE(pin.connected);
    EXPECT_TRUE(pin.pullUp);
    EXPECT_TRUE(pin.isOutput);
    EXPECT_EQ(pin.polarity, LE_GPIO_ACTIVE_HIGH);
    EXPECT_FALSE(pin.level);
    le_event_AdvanceMs(60000);
    EXPECT_EQ(pa_appCtrl_GetStopCount(), 0u);
    EXPECT_FALSE(le_event_IsStopped());
}

INSTANTIATE_TEST_SUITE_P(Presets, ModeTest, ::testing::Values("addon", "converter", "gateway"));

TEST_F(StartupTest, NoSignatureWithTheGatewayNameBuildsTheConverterNotTheGateway)
{
    ASSERT_EQ(io_CreateOutput("settings/learn", IO_DATA_TYPE_TRIGGER, ""), LE_OK);   // left by a gateway run
    Boot("gateway", {{"eeprom.signature", ""}});
    EXPECT_EQ(BoardType, 2);
    EXPECT_TRUE(HasResource("uc_input1/value"));
    EXPECT_FALSE(HasResource("settings/learn"));   // the gateway's settings are deleted, not built
    EXPECT_FALSE(HasResource("settings/description"));
}

TEST_F(StartupTest, ModeZeroOffersNothingAndLeavesPin8Alone)
{
    // What an earlier run in another mode left in the Data Hub goes.
    const char* const leftOver[] = {"settings/addon_type", "settings/description", "settings/enable",
                                    "settings/secure",     "settings/learn",       "settings/clear",
                                    "settings/i2c_address", "uc_input1/value",     "uc_input4/gain"};
    for (const char* path : leftOver) ASSERT_EQ(io_CreateOutput(path, IO_DATA_TYPE_STRING, ""), LE_OK) << path;
    ASSERT_EQ(io_CreateOutput("settings/unrelated", IO_DATA_TYPE_STRING, ""), LE_OK);
    Boot("none");
    EXPECT_EQ(BoardType, 0);
    for (const char* path : leftOver) EXPECT_FALSE(HasResource(path)) << path;
    EXPECT_TRUE(HasResource("settings/unrelated"));
    EXPECT_FALSE(Pin8().connected);
    EXPECT_EQ(pa_appCtrl_GetStopCount(), 1u);
}

//--------------------------------------------------------------------------------------------------
// Sensor registry clean-up
//--------------------------------------------------------------------------------------------------
TEST_F(StartupTest, OtherModesLogEveryRegisteredSensorInOrder)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E0123abcd\nE00000001\nnot-an-id\nE0123abcd\nEfffffffe\n"));
    Boot("addon");
    long first = le_log_CaptureFind("| E0123abcd", 0);
    long second = le_log_CaptureFind("| E00000001", 0);
    long third = le_log_CaptureFind("| Efffffffe", 0);
    ASSERT_GE(first, 0);
    EXPECT_GT(second, first);
    EXPECT_GT(third, second);
    EXPECT_EQ(le_log_CaptureCount("| E0123abcd"), 1u);   // the duplicate is not a second sensor
    EXPECT_EQ(le_log_CaptureCount("Skipped line 3 of /mnt/userrw/EnOcean.txt"), 1u);
    EXPECT_EQ(le_log_CaptureCount("Skipped line 4 of /mnt/userrw/EnOcean.txt"), 1u);
}

TEST_F(StartupTest, GatewayModeLeavesTheRegistryToTheGateway)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E0123abcd\n"));
    Boot("gateway");
    // Only the gateway's own start names it, and it builds the sensor's branch instead of deleting it.
    EXPECT_EQ(CountLinesWith("ReadEEPROM()", "| E0123abcd"), 0u);
    EXPECT_EQ(CountLinesWith("StartEO()", "| E0123abcd"), 1u);
    EXPECT_TRUE(HasResource("sensors/E0123abcd/data"));
}

TEST_F(StartupTest, AbsentRegistryDeletesNothing)
{
    Boot("none");
    EXPECT_EQ(le_log_CaptureCount("Skipped line"), 0u);
    for (size_t i = 0; i < le_log_CaptureSize(); i++)   // no line's message is a sensor identifier
    {
        char line[512];
        ASSERT_TRUE(le_log_CaptureLine(i, line, sizeof(line)));
        std::string message = std::string(line).substr(std::string(line).rfind(" | ") + 3);
        EXPECT_FALSE(message.size() == 9 && message[0] == 'E' &&
                     message.find_first_not_of("0123456789abcdef", 1) == std::string::npos) << line;
    }
}
