// Start-up and board identification, run on the simulated board and the virtual clock.
#include "UniversalConverter.h"
#include "component_fixture.h"
#include "le_gpio.h"

#include <unistd.h>

namespace
{
const char* const Signature = "VELTRONA made in Poland";

class StartupTest : public ComponentTest
{
protected:
    pa_gpioSim_State_t Pin(int number)
    {
        pa_gpioSim_State_t state{};
        EXPECT_TRUE(pa_gpioSim_GetState(number, &state));
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
// Identification: every row of the scoring table and the bounded-comparison corners
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
    EXPECT_EQ(le_log_CaptureCount("| Error"), 0u);   // identification does not touch the expander
}

//--------------------------------------------------------------------------------------------------
// EEPROM access failures: mode 0, its clean-up, and the app stops itself ten seconds later
//--------------------------------------------------------------------------------------------------
namespace
{
struct EepromFault { const char* name; const char* preset; std::vector<std::pair<std::string, std::string>> settings;
                     bool busFault; };

void PrintTo(const EepromFault& f, std::ostream* os) { *os << f.name; }
class EepromFaultTest : public StartupTest, public ::testing::WithParamInterface<EepromFault> {};
}

// What another mode's run left goes; no pin is touched.
TEST_P(EepromFaultTest, GivesModeZeroAndStopsTheAppTenSecondsLater)
{
    const char* const left[] = {"settings/addon_type", "settings/learn", "uc_input4/gain", "addon/input6"};
    for (const char* path : left) ASSERT_EQ(io_CreateOutput(path, IO_DATA_TYPE_STRING, ""), LE_OK) << path;
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
    for (const char* path : left) EXPECT_FALSE(HasResource(path)) << path;
    for (int pin : {42, 33, 13, 8}) EXPECT_FALSE(Pin(pin).connected || Pin(pin).writeCount > 0) << pin;
}

INSTANTIATE_TEST_SUITE_P(
    Eeprom, EepromFaultTest,
    ::testing::Values(EepromFault{"Unreadable", "unreadable", {}, false}, EepromFault{"Absent", "absent", {}, false},
                      EepromFault{"FailingBus", "gateway", {}, true},
                      EepromFault{"ShortReads", "gateway", {{"eeprom.short_reads", "yes"}}, false}),
    [](const ::testing::TestParamInfo<EepromFault>& info) { return std::string(info.param.name); });

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
        EXPECT_EQ(access(dir.File("services/" + std::string(name)).c_str(), F_OK), 0) << name;
    }
    le_event_RunUntilIdle();
    std::vector<std::pair<int, int>> writes;   // register, value
    for (uint8_t i = 0, reg, value; simBoard_ExpanderWrite(i, &reg, &value); i++) writes.push_back({reg, value});
    EXPECT_EQ(writes, (std::vector<std::pair<int, int>>{{0x0E, 0x00}, {0x10, 0x01}, {0x10, 0x00}}));
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_INFO, "| OK"), 3u);
    // Line 0 went high before the EEPROM was read and low after: of the three writes, the last follows.
    long identified = le_log_CaptureFind("Init Octave...", 0);
    long low = le_log_CaptureFind("| OK", static_cast<size_t>(identified));
    EXPECT_GT(low, identified);
    EXPECT_LT(le_log_CaptureFind("| OK", static_cast<size_t>(low) + 1), 0);
}

//--------------------------------------------------------------------------------------------------
// What each mode builds
//--------------------------------------------------------------------------------------------------
namespace
{
class ModeTest : public StartupTest, public ::testing::WithParamInterface<const char*> {};
}

// What another mode's run left goes: the converter's channels and settings, the gateway's settings; the
// converter is started in its own mode only. Outside the gateway the registered sensors' branches are
// deleted, each sensor named once in order; the gateway's own start builds them instead.
TEST_P(ModeTest, OffersTheAddOnTypePreparesPin8KeepsToItsOwnResourcesAndRunsOn)
{
    const bool gateway = std::string(GetParam()) == "gateway", converter = std::string(GetParam()) == "converter";
    const std::pair<const char*, bool> kept[] = {{"uc_input2/value", converter}, {"uc_input3/gain", converter},
                                                 {"settings/i2c_high_resolution", converter},
                                                 {"settings/learn", gateway}};
    for (const auto& k : kept) ASSERT_TRUE(k.second || io_CreateInput(k.first, IO_DATA_TYPE_NUMERIC, "") == LE_OK);
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), "E0123abcd\nE00000001\nE0123abcd\nEfffffffe\n"));
    Boot(GetParam());
    for (const auto& k : kept) EXPECT_EQ(HasResource(k.first), k.second) << k.first;
    EXPECT_EQ(le_ExtAdc_GetValue(ADC1, nullptr, nullptr, nullptr) != LE_UNAVAILABLE, converter);
    EXPECT_EQ(HasResource("sensors/E0123abcd/data"), gateway);
    EXPECT_EQ(CountLinesWith("StartEO()", "| E0123abcd"), gateway ? 1u : 0u);
    EXPECT_EQ(CountLinesWith("ReadEEPROM()", "| E0123abcd"), gateway ? 0u : 1u);   // the duplicate is no second
    if (!gateway)
    {
        long first = le_log_CaptureFind("| E0123abcd", 0), second = le_log_CaptureFind("| E00000001", 0);
        EXPECT_GT(second, first);
        EXPECT_GT(le_log_CaptureFind("| Efffffffe", 0), second);
    }
    dhub_ResourceInfo_t info;
    ASSERT_EQ(dhub_GetInfo("settings/addon_type", &info, nullptr, 0), LE_OK);
    EXPECT_TRUE(info.kind == DHUB_KIND_OUTPUT && info.dataType == IO_DATA_TYPE_NUMERIC && info.isDefault);
    EXPECT_EQ(Value("settings/addon_type"), "0");
    pa_gpioSim_State_t pin = Pin(8);   // a low push-pull output, active high, pulled up
    EXPECT_TRUE(pin.connected && pin.pullUp && pin.isOutput && !pin.level);
    EXPECT_EQ(pin.polarity, LE_GPIO_ACTIVE_HIGH);
    le_event_AdvanceMs(60000);
    EXPECT_EQ(pa_appCtrl_GetStopCount(), 0u);
    EXPECT_FALSE(le_event_IsStopped());
}

INSTANTIATE_TEST_SUITE_P(Presets, ModeTest, ::testing::Values("addon", "converter", "gateway"));
