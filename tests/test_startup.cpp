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
    void BootWith(const std::string& signature, const std::string& name)
    {
        Boot("none", {{"eeprom.signature", signature}, {"eeprom.name", name}});
    }

    pa_gpioSim_State_t Pin8()
    {
        pa_gpioSim_State_t state{};
        EXPECT_TRUE(pa_gpioSim_GetState(8, &state));
        return state;
    }
};
}

//--------------------------------------------------------------------------------------------------
// Every row of the scoring table, with the bounded-comparison corners
//--------------------------------------------------------------------------------------------------
struct Identification
{
    const char* signature;
    const char* name;
    uint8_t boardType;
};

void PrintTo(const Identification& row, std::ostream* os)
{
    *os << "'" << row.signature << "' / '" << row.name << "' -> " << int(row.boardType);
}

class ScoringTest : public StartupTest, public ::testing::WithParamInterface<Identification>
{
};

TEST_P(ScoringTest, BlocksGiveTheBoardMode)
{
    const Identification& row = GetParam();
    BootWith(row.signature, row.name);
    EXPECT_EQ(BoardType, row.boardType) << "signature '" << row.signature << "', name '" << row.name << "'";
    EXPECT_EQ(le_log_CaptureCount("Init Octave..."), std::string(row.signature).rfind(Signature, 0) == 0 ? 1u : 0u);
}

std::string RowName(const ::testing::TestParamInfo<Identification>& info)
{
    std::string name = std::to_string(info.index) + "_";
    for (const char* p = info.param.name; *p; p++) name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScoringTest,
    ::testing::Values(
        Identification{Signature, "Wavelet gateway", 3},
        Identification{Signature, "Wavelet", 3},
        Identification{Signature, "Wavelet gateway 2", 3},
        Identification{Signature, "WaveletXYZ", 3},
        Identification{Signature, "Analog Front Module 4i", 2},
        Identification{Signature, "Analog Front Module 4i rev.B", 2},
        Identification{Signature, "BasaltBoard++", 2},
        Identification{Signature, "Add-on carrier", 1},
        Identification{Signature, "", 1},
        Identification{"", "Wavelet gateway", 2},
        Identification{"", "Analog Front Module 4i", 1},
        Identification{"", "BasaltBoard++", 1},
        Identification{"", "Add-on carrier", 0},
        Identification{"", "", 0}),
    RowName);

// Near misses: one character short, a different case, or text after the base-board name.
INSTANTIATE_TEST_SUITE_P(
    NearMisses, ScoringTest,
    ::testing::Values(
        Identification{Signature, "Wavele", 1},
        Identification{Signature, "wavelet gateway", 1},
        Identification{Signature, "Analog Front Module 4", 1},
        Identification{Signature, "BasaltBoard++X", 1},
        Identification{Signature, "BasaltBoard+", 1},
        Identification{"VELTRONA made in Polan", "Wavelet gateway", 2},
        Identification{"VELTRONA made in Poland, 2026", "Add-on carrier", 1},
        Identification{"veltrona made in poland", "", 0}),
    RowName);

TEST_F(StartupTest, BaseBoardNameNeedsAZeroByteRightAfterIt)
{
    // 0x24 + 13 is the byte after "BasaltBoard++".
    Boot("basalt", {{"eeprom.at.0x31", "20"}});
    EXPECT_EQ(BoardType, 1);
}

//--------------------------------------------------------------------------------------------------
// EEPROM access failures
//--------------------------------------------------------------------------------------------------
TEST_F(StartupTest, UnreadableEepromStopsTheAppTenSecondsLater)
{
    Boot("unreadable");
    EXPECT_EQ(BoardType, 0);
    EXPECT_EQ(pa_appCtrl_GetStopCount(), 1u);
    EXPECT_STREQ(pa_appCtrl_GetLastStopped(), "Veltrona");
    EXPECT_EQ(pa_appCtrl_GetLastStopTime() - startMs, 10000u);
    EXPECT_TRUE(le_event_IsStopped());
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_ERR, ""), 0u);
}

TEST_F(StartupTest, AbsentEepromChipStopsTheAppAndTheLoopReturns)
{
    char err[128];
    ASSERT_TRUE(simBoard_LoadPreset("absent", err, sizeof(err)));
    simBoard_Install();
    startMs = le_clk_NowMs();
    _VeltronaComponent_Init();
    EXPECT_EQ(le_event_RunLoop(), 0);
    EXPECT_EQ(BoardType, 0);
    EXPECT_EQ(le_clk_NowMs() - startMs, 10000u);
    EXPECT_EQ(pa_appCtrl_GetStopCount(), 1u);
}

TEST_F(StartupTest, FailingEepromBusGivesModeZero)
{
    char err[128];
    ASSERT_TRUE(simBoard_LoadPreset("gateway", err, sizeof(err)));
    simBoard_Install();
    pa_i2cSim_SetBusFault(SIM_EEPROM_BUS, true);
    _VeltronaComponent_Init();
    le_event_RunUntilIdle();
    EXPECT_EQ(BoardType, 0);
    EXPECT_EQ(le_log_CaptureCount("Init Octave..."), 0u);
    EXPECT_EQ(pa_appCtrl_GetStopCount(), 1u);
}

TEST_F(StartupTest, ShortReadsLeaveTheBlocksZeroAndUnlogged)
{
    Boot("gateway", {{"eeprom.short_reads", "yes"}});
    EXPECT_EQ(BoardType, 0);
    EXPECT_EQ(le_log_CaptureCount(Signature), 0u);
    EXPECT_EQ(le_log_CaptureCount("Init Octave..."), 0u);
}

TEST_F(StartupTest, AnErasedBlockIsLoggedEscaped)
{
    Boot("none");   // erased EEPROM: every byte 0xFF
    std::string erased;
    for (int i = 0; i < 32; i++) erased += "\\xff";
    long at = le_log_CaptureFind(erased.c_str(), 0);
    ASSERT_GE(at, 0);
    char line[1200];
    ASSERT_TRUE(le_log_CaptureLine(static_cast<size_t>(at), line, sizeof(line)));
    EXPECT_EQ(strchr(line, '\xff'), nullptr);
}

TEST_F(StartupTest, BlockAIsLoggedAsAtMostThirtyTwoCharacters)
{
    // Block A filled with 32 letters and no terminating zero; block B follows it directly.
    std::string letters;
    for (int i = 0; i < 32; i++) letters += "41 ";
    Boot("gateway", {{"eeprom.at.4", letters}});
    std::string expected(32, 'A');
    long at = le_log_CaptureFind(expected.c_str(), 0);
    ASSERT_GE(at, 0);
    char line[512];
    ASSERT_TRUE(le_log_CaptureLine(static_cast<size_t>(at), line, sizeof(line)));
    std::string text(line);
    EXPECT_EQ(text.substr(text.size() - 32), expected);
    EXPECT_EQ(text.find("Wavelet"), std::string::npos);
    EXPECT_EQ(BoardType, 2);   // no signature, gateway name
}

TEST_F(StartupTest, NoSignatureWithTheGatewayNameBuildsTheConverterNotTheGateway)
{
    ASSERT_EQ(io_CreateOutput("settings/learn", IO_DATA_TYPE_TRIGGER, ""), LE_OK);   // left by a gateway run
    Boot("gateway", {{"eeprom.signature", ""}});
    EXPECT_EQ(BoardType, 2);
    EXPECT_EQ(le_log_CaptureCount("Init Octave..."), 0u);
    EXPECT_TRUE(HasResource("settings/addon_type"));
    EXPECT_EQ(Value("settings/addon_type"), "0");
    EXPECT_FALSE(HasResource("settings/learn"));   // the gateway's settings are deleted, not built
    EXPECT_FALSE(HasResource("settings/description"));
    EXPECT_TRUE(Pin8().pullUp);
    EXPECT_EQ(pa_appCtrl_GetStopCount(), 0u);
}

//--------------------------------------------------------------------------------------------------
// Board expander
//--------------------------------------------------------------------------------------------------
TEST_F(StartupTest, BankBExpanderWritesComeInOrder)
{
    Boot("gateway");
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
    char err[128];
    ASSERT_TRUE(simBoard_LoadPreset("converter", err, sizeof(err)));
    simBoard_Install();
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
TEST_F(StartupTest, AddOnOnlyOffersTheAddOnTypeAndPreparesPin8)
{
    Boot("addon");
    EXPECT_EQ(BoardType, 1);
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
    EXPECT_EQ(le_log_CaptureCount("Clear Main Resources."), 2u);

    // Running on: the app is not stopped.
    le_event_AdvanceMs(60000);
    EXPECT_EQ(pa_appCtrl_GetStopCount(), 0u);
    EXPECT_FALSE(le_event_IsStopped());
}

TEST_F(StartupTest, GatewayAndConverterModesPreparePin8)
{
    Boot("gateway");
    EXPECT_EQ(BoardType, 3);
    EXPECT_TRUE(HasResource("settings/addon_type"));
    EXPECT_TRUE(Pin8().isOutput);
    EXPECT_EQ(pa_appCtrl_GetStopCount(), 0u);
}

TEST_F(StartupTest, ConverterModeBuildsTheAddOnType)
{
    Boot("converter");
    EXPECT_EQ(BoardType, 2);
    EXPECT_TRUE(HasResource("settings/addon_type"));
    EXPECT_TRUE(Pin8().pullUp);
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

TEST_F(StartupTest, NothingRunsBeforeTheLoopAndServicesAreAdvertised)
{
    le_log_SetGlobalFilterLevel(LE_LOG_DEBUG);
    char err[128];
    ASSERT_TRUE(simBoard_LoadPreset("addon", err, sizeof(err)));
    simBoard_Install();
    _VeltronaComponent_Init();
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_DEBUG, "Initializing VeltronaComponent component library."), 1u);
    EXPECT_EQ(simBoard_ExpanderWriteCount(), 0u);   // start-up is only queued
    for (const char* name : {"le_ExtAdc", "le_ExtAdcAddON", "le_EnOcean", "le_EModbus"})
    {
        struct stat st;
        EXPECT_EQ(stat(dir.File("services/" + std::string(name)).c_str(), &st), 0) << name;
    }
    le_event_RunUntilIdle();
    EXPECT_EQ(simBoard_ExpanderWriteCount(), 3u);
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
    // No line's message is a sensor identifier.
    for (size_t i = 0; i < le_log_CaptureSize(); i++)
    {
        char line[512];
        ASSERT_TRUE(le_log_CaptureLine(i, line, sizeof(line)));
        std::string text(line);
        std::string message = text.substr(text.rfind(" | ") + 3);
        EXPECT_FALSE(message.size() == 9 && message[0] == 'E' &&
                     message.find_first_not_of("0123456789abcdef", 1) == std::string::npos)
            << line;
    }
}

//--------------------------------------------------------------------------------------------------
// The example scenario files give the modes they describe
//--------------------------------------------------------------------------------------------------
TEST_F(StartupTest, ExampleScenarioFilesGiveTheirModes)
{
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
    EXPECT_EQ(le_log_CaptureCount("| Error"), 0u);   // ReadEEPROM does not touch the expander
}
