// The universal converter on the simulated board and the virtual clock: the ADC driver and its
// conversions, the looper and its alerts, and the Data Hub binding.
#include "UniversalConverter.h"
#include "UniversalConverterAddON.h"
#include "UniversalConverterOctaveAddON.h"
#include "UniversalConverterOctave.h"
#include "component_fixture.h"
#include "sim_adc.h"

#include <cmath>
#include <sys/stat.h>
#include <deque>
#include <mutex>

namespace
{
const double Lsb16 = 62.5e-6;   // volts of one code at 16 bits
const double Lsb12 = 1e-3;

class ConverterTest : public ComponentTest
{
protected:
    // The driver on its own, with the chip at 6Ch (its default address) and the module's defaults.
    void StartDriver()
    {
        char err[128];
        ASSERT_TRUE(simBoard_LoadPreset("converter", err, sizeof(err)));
        ASSERT_TRUE(simBoard_Set("adc.address", "0x6C", err, sizeof(err)));
        simBoard_Install();
        StartUC();
    }

    struct Measured { le_result_t result; uint16_t raw = 0xBEEF; double percentage = -999, value = -999; };

    static Measured Measure(IOT_ADC channel)
    {
        Measured m;
        m.result = le_ExtAdc_GetValue(channel, &m.raw, &m.percentage, &m.value);
        return m;
    }

    // A push, and time for a measurement it may start (seven 16-bit conversions take 490 ms).
    void Push(const char* path, const char* value)
    {
        ASSERT_EQ(dhub_AdminPush(path, value), LE_OK) << path;
        le_event_AdvanceMs(MeasureMs);
    }
    static const uint64_t MeasureMs = 600;

    // One conversion at 6Ch as a measurement makes it; 1 when it was read.
    static uint8_t ConvertOnce()
    {
        uint8_t buffer[3] = {0, 0, 0x80};
        return ReadW(0x6C, 0x88, buffer);
    }
};

//--------------------------------------------------------------------------------------------------
// A scripted converter for what the simulated chip does not do: failed and chosen conversions.
//--------------------------------------------------------------------------------------------------
std::deque<int> Script;   // per conversion: a code, or Fail
const int Fail = 1 << 20;
int Current = 0;
bool Busy = false;
unsigned ConfigWrites = 0;
uint8_t LastConfig = 0;

ssize_t ScriptWrite(void*, const uint8_t* data, size_t count)
{
    ConfigWrites++;
    LastConfig = data[0];
    Current = Script.empty() ? 0 : Script.front();
    if (!Script.empty()) Script.pop_front();
    if (Current != Fail) return static_cast<ssize_t>(count);
    errno = EIO;
    return -1;
}

ssize_t ScriptRead(void*, uint8_t* data, size_t count)
{
    uint8_t bytes[3] = {static_cast<uint8_t>((Current >> 8) & 0xFF), static_cast<uint8_t>(Current & 0xFF),
                        static_cast<uint8_t>(Busy ? 0x80 : 0x00)};
    for (size_t i = 0; i < count; i++) data[i] = bytes[i < 3 ? i : 2];
    return static_cast<ssize_t>(count);
}

class ScriptedTest : public ConverterTest
{
protected:
    void SetUp() override
    {
        ConverterTest::SetUp();
        Script.clear();
        Busy = false;
        ConfigWrites = 0;
        StartDriver();
        pa_i2cSim_Device_t scripted = {ScriptWrite, ScriptRead, nullptr};
        pa_i2cSim_AttachDevice(SIM_EEPROM_BUS, 0x6C, &scripted);
    }
};
}

//--------------------------------------------------------------------------------------------------
// Driver
//--------------------------------------------------------------------------------------------------
TEST_F(ConverterTest, ReadingsOverBothInterfacesBothResolutionsAndBothSigns)
{
    StartDriver();
    // Speed 1 is 16 bits, any other 12; a value of -999 is not written.
    struct Row { IOT_ADC channel; uint32_t interface, speed; double volts; le_result_t result; uint16_t raw;
                 double percentage, value; };
    const Row rows[] = {
        // 4 to 20 over the live-zero span at 16 bits: 6400 to 32000 codes.
        {ADC1, 1, 1, 6400 * Lsb16, LE_OK, 6400, 0.0, 4.0}, {ADC1, 1, 1, 19200 * Lsb16, LE_OK, 19200, 50.0, 12.0},
        {ADC1, 1, 1, 32000 * Lsb16, LE_OK, 32000, 100.0, 20.0},
        {ADC1, 1, 1, 32767 * Lsb16, LE_OVERFLOW, 32767, 102.99609375, -999},
        {ADC1, 1, 1, 6399 * Lsb16, LE_UNDERFLOW, 6399, 0.0, -999},
        // Zero-based at 12 bits: 0 to 2000 codes.
        {ADC2, 0, 0, 500 * Lsb12, LE_OK, 500, 25.0, 8.0}, {ADC2, 0, 2, 500 * Lsb12, LE_OK, 500, 25.0, 8.0},
        {ADC2, 0, 2, 2000 * Lsb12, LE_OK, 2000, 100.0, 20.0},
        {ADC2, 0, 2, 2001 * Lsb12, LE_OVERFLOW, 2001, 100.0625, -999},
        // Negative inputs never read positive percentages.
        {ADC3, 0, 1, -19200 * Lsb16, LE_OK, static_cast<uint16_t>(-19200), -60.0, -(0.6 * 16.0 + 4.0)},
        // Clipped at -32768: over range by its magnitude, and still negative.
        {ADC3, 0, 1, -5.0, LE_OVERFLOW, 0x8000, -((32768.0 - 32000.0) / 25600.0 * 100.0 + 100.0), -999},
        // Below 0 V a live-zero input is under range, however large the magnitude.
        {ADC3, 1, 1, -0.1, LE_UNDERFLOW, static_cast<uint16_t>(-1600), 0.0, -999},
        {ADC3, 1, 1, -5.0, LE_UNDERFLOW, 0x8000, 0.0, -999},
    };
    for (const Row& row : rows)
    {
        le_ExtAdc_SetInterface(row.channel, row.interface);
        le_ExtAdc_SetConversionSpeed(row.speed);
        ASSERT_TRUE(simAdc_SetInput(row.channel == ADC1 ? 1 : row.channel == ADC2 ? 2 : 3, row.volts));
        Measured m = Measure(row.channel);
        EXPECT_EQ(m.result, row.result) << row.volts;
        EXPECT_EQ(m.raw, row.raw) << row.volts;
        EXPECT_DOUBLE_EQ(m.percentage, row.percentage) << row.volts;
        EXPECT_DOUBLE_EQ(m.value, row.value) << row.volts;
    }
    EXPECT_EQ(le_log_CaptureCount("I2C BUS OK."), 7u * (sizeof(rows) / sizeof(rows[0])));

    // Twelve-bit conversions are ready at the first poll; a 16-bit one (67 ms) is read at 70 ms.
    for (uint32_t speed : {0u, 1u})
    {
        le_ExtAdc_SetConversionSpeed(speed);
        uint64_t start = le_clk_NowMs();
        Measure(ADC2);
        EXPECT_EQ(le_clk_NowMs() - start, 7u * (speed == 1 ? 14u : 1u) * UC_POLL_MS) << speed;
    }
}

TEST_F(ConverterTest, OneChannelAtATimeAndSettersRefuseWhatTheyCannotHonour)
{
    StartDriver();
    for (int bad : {0, 3, 16, 5})
    {
        Measured m = Measure(static_cast<IOT_ADC>(bad));
        EXPECT_EQ(m.result, LE_BAD_PARAMETER) << bad;
        EXPECT_TRUE(m.raw == 0xBEEF && m.percentage == -999 && m.value == -999) << bad;   // nothing written
    }
    EXPECT_EQ(le_log_CaptureCount("I2C BUS OK."), 0u);   // nothing touched the bus
    EXPECT_EQ(le_ExtAdc_GetValue(ADC1, nullptr, nullptr, nullptr), LE_OK);   // outputs may be absent

    const double inf = HUGE_VAL, nan = std::nan("");
    const double ranges[][2] = {{5, 5}, {20, 4}, {-inf, 4}, {4, inf}, {nan, 4}};
    for (const auto& r : ranges) EXPECT_EQ(le_ExtAdc_SetConverter(ADC1, r[0], r[1]), LE_BAD_PARAMETER) << r[0];
    EXPECT_EQ(MinMaxADC1.Min, 4.0);
    EXPECT_EQ(le_ExtAdc_SetConverter(ADC1 | ADC4, 0.0, 10.0), LE_OK);
    EXPECT_EQ(MinMaxADC4.Max, 10.0);
    EXPECT_EQ(MinMaxADC2.Max, 20.0);
    // Edges: low below high, finite, and a hysteresis of at least 0 and under half the span.
    const double edges[][4] = {{0, 100, 50, 0}, {0, 100, -5, 0}, {100, 0, 1, 0},  {-inf, 100, 1, 0},
                               {0, inf, 1, 0},  {0, 100, nan, 0}, {0, 100, 0, 1}, {0, 100, 49.9, 1}};
    for (const auto& e : edges)
    {
        EXPECT_EQ(le_ExtAdc_SetEdges(ADC2, e[0], e[1], e[2]), e[3] ? LE_OK : LE_BAD_PARAMETER)
            << e[0] << " " << e[1] << " " << e[2];
        EXPECT_EQ(EdgeADC2.Hysteresis == e[2], e[3] != 0) << e[2];
    }
    EXPECT_EQ(le_ExtAdc_SetGain(ADC1, 4), LE_BAD_PARAMETER);
    EXPECT_EQ(MinMaxADC1.Gain, 0u);
    EXPECT_EQ(le_ExtAdc_SetGain(ADC1, 3), LE_OK);
    EXPECT_EQ(MinMaxADC1.Gain, 3u);

    // An address index beyond 3 changes nothing: the chip at 6Ch is still the one measured.
    EXPECT_EQ(le_ExtAdc_SetDeviceAddress(4), LE_BAD_PARAMETER);
    unsigned before = simAdc_ConversionCount();
    EXPECT_EQ(le_ExtAdc_GetValue(ADC2, nullptr, nullptr, nullptr), LE_OK);
    EXPECT_EQ(simAdc_ConversionCount() - before, 7u);

    // A bus path is taken only when the bus and its probe slave answer; nothing is restarted for one refused.
    EXPECT_EQ(le_ExtAdc_SetFileDescriptor("/dev/i2c-9"), LE_BAD_PARAMETER);   // no such bus
    EXPECT_EQ(le_ExtAdc_SetFileDescriptor(""), LE_BAD_PARAMETER);
    pa_i2cSim_AddBus("/dev/i2c-7");   // a bus without the probe slave
    EXPECT_EQ(le_ExtAdc_SetFileDescriptor("/dev/i2c-7"), LE_BAD_PARAMETER);
    EXPECT_EQ(CountLinesWith("Bus /dev/i2c-7 refused: its probe slave 0x53 does not answer", ""), 1u);
    EXPECT_EQ(le_ExtAdc_GetValue(ADC2, nullptr, nullptr, nullptr), LE_OK);   // the bus in use stays
    EXPECT_EQ(pa_system_GetRunCount("/sbin/reboot -f"), 0u);
    EXPECT_EQ(le_ExtAdc_SetFileDescriptor("/dev/i2c-5"), LE_OK);
}

TEST_F(ConverterTest, NothingTouchesTheBusBeforeStart)
{
    char err[128];
    ASSERT_TRUE(simBoard_LoadPreset("gateway", err, sizeof(err)));
    simBoard_Install();
    EXPECT_EQ(le_ExtAdc_GetValue(ADC1, nullptr, nullptr, nullptr), LE_UNAVAILABLE);
    EXPECT_EQ(le_ExtAdc_AddOnValueHandler(ADC1, [](IOT_ADC, uint16_t, double, double, void*) {}, nullptr), nullptr);
    EXPECT_EQ(le_ExtAdc_SetConverter(ADC1, 0, 1), LE_OK);   // settings are kept meanwhile
    EXPECT_EQ(le_ExtAdc_SetDeviceAddress(2), LE_OK);
    EXPECT_EQ(pa_i2cSim_GetTransferCount(SIM_EEPROM_BUS), 0u);
    EXPECT_EQ(pa_system_GetRunCount("/sbin/reboot -f"), 0u);
}

TEST_F(ScriptedTest, OnlyTheConversionsReadCountAndTheirMiddleIsAveraged)
{
    struct Row { std::deque<int> script; le_result_t result; uint16_t raw; const char* logged; };
    const Row rows[] = {
        {{700, 100, 500, 300, 600, 200, 400}, LE_OK, 400, "Results 300 + 400 + 500 = 400"},
        {{Fail, 100, 200, 300, 400, 500, 600}, LE_OK, 350, "Results 300 + 400 = 350"},
        {{300, Fail, 300, 300, Fail, 300, 300}, LE_OK, 300, "Results 300 + 300 + 300 = 300"},
        {{300, Fail, 300, Fail, 300, Fail, 300}, LE_OK, 300, "Results 300 + 300 = 300"},
        {{5, 5, 5, 4, 4, 0, 0}, LE_OK, 4, "Results 4 + 4 + 5 = 4"},   // 13 / 3 rounds down, 14 / 3 up
        {{5, 5, 5, 5, 4, 0, 0}, LE_OK, 5, "Results 4 + 5 + 5 = 5"},
        {{300, Fail, Fail, 300, Fail, 300, Fail}, LE_IO_ERROR, 0xBEEF, "ADC1 not measured: 3 of 7 conversions read"},
        {{Fail, Fail, Fail, Fail, Fail, Fail, Fail}, LE_IO_ERROR, 0xBEEF,
         "ADC1 not measured: 0 of 7 conversions read"},
    };
    for (uint32_t interface : {0u, 1u})
    {
        le_ExtAdc_SetInterface(ADC1, interface);
        for (const Row& row : rows)
        {
            if (interface == 1 && row.result == LE_OK) continue;   // small codes are under a live zero
            size_t loggedBefore = CountLinesWith(row.logged, "");
            Script = row.script;
            Measured m = Measure(ADC1);
            EXPECT_EQ(m.result, row.result) << row.logged;
            EXPECT_EQ(m.raw, row.raw) << row.logged;
            EXPECT_EQ(CountLinesWith(row.logged, "") - loggedBefore, 1u) << row.logged;
            EXPECT_EQ(m.percentage == -999, row.result != LE_OK) << row.logged;   // nothing written for a failure
        }
    }
    // A conversion that never gets ready counts as failed.
    Busy = true;
    uint64_t start = le_clk_NowMs();
    EXPECT_EQ(ConvertOnce(), 0);
    EXPECT_EQ(le_clk_NowMs() - start, static_cast<uint64_t>(UC_POLL_LIMIT * UC_POLL_MS));
    EXPECT_EQ(le_log_CaptureCount("Conversion not ready after 40 reads"), 1u);
}

// A bus without its probe slave restarts the system, at most once a run and within a bound kept in
// a record of the restarts.
namespace
{
// Restarts already recorded, so many seconds ago (< 0: ahead), or something in the way of the record.
struct RestartCase { const char* name; std::vector<int64_t> recordedAgoS; bool recordBlocked; unsigned restarts;
                     const char* logged; };

void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.name; }
class RestartTest : public ConverterTest, public ::testing::WithParamInterface<RestartCase> {};
}

TEST_P(RestartTest, AMissingProbeRestartsTheSystemWithinTheBound)
{
    const RestartCase& c = GetParam();
    const std::string record = dir.File("VeltronaReboots.txt");
    std::string recorded;
    for (int64_t ago : c.recordedAgoS)
    {
        recorded += std::to_string(static_cast<int64_t>(le_clk_EpochMs() / 1000) - ago) + " earlier\n";
    }
    ASSERT_TRUE(c.recordBlocked ? mkdir(record.c_str(), 0700) == 0
                                : recorded.empty() || WriteTextFile(record, recorded));
    StartDriver();
    pa_i2cSim_DetachDevice(SIM_EEPROM_BUS, SIM_PROBE_ADDRESS);
    for (int i = 0; i < 2; i++) EXPECT_EQ(ConvertOnce(), 1);   // the conversion itself goes on
    EXPECT_EQ(le_ExtAdc_GetValue(ADC1, nullptr, nullptr, nullptr), LE_OK);
    // A restart that returned is not asked again.
    EXPECT_EQ(pa_system_GetRunCount("/sbin/reboot -f"), c.restarts);
    EXPECT_GE(le_log_CaptureCount(c.logged), 1u);
    EXPECT_EQ(le_log_CaptureCount("I2C bus given up"), c.restarts == 0 ? 1u : 0u);   // once, when it is
    if (c.restarts > 0)
    {
        std::string text = ReadTextFile(record);
        EXPECT_NE(text.find(" I2C Address Error\n"), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Record, RestartTest,
    ::testing::Values(RestartCase{"None", {}, false, 1, "I2C Address Error"},
                      RestartCase{"TwoWithinTheHourOneLongAgo", {7200, 60, 10}, false, 1, "I2C Address Error"},
                      // One stamped ahead of a clock that the restart set back counts as recent.
                      RestartCase{"ThreeWithinTheHour", {3000, 10, -500}, false, 0,
                                  "I2C bus given up (3 restarts within 3600 s did not bring it back)"},
                      RestartCase{"CannotBeWritten", {}, true, 0, "I2C bus given up (the restart cannot be recorded"}),
    [](const ::testing::TestParamInfo<RestartCase>& info) { return std::string(info.param.name); });

//--------------------------------------------------------------------------------------------------
// Looper
//--------------------------------------------------------------------------------------------------
namespace
{
struct Call { int handler; IOT_ADC channel; int edge; double value; uint64_t atMs; };   // edge -1: a value
std::mutex CallsMutex;
std::vector<Call> Calls;

void* Tag(int n) { return reinterpret_cast<void*>(static_cast<intptr_t>(n)); }

void Record(IOT_ADC channel, int edge, double value, void* context)
{
    std::lock_guard<std::mutex> lock(CallsMutex);
    Calls.push_back({static_cast<int>(reinterpret_cast<intptr_t>(context)), channel, edge, value, le_clk_NowMs()});
}

void OnValue(IOT_ADC channel, uint16_t, double, double value, void* context) { Record(channel, -1, value, context); }
void OnAlert(IOT_ADC channel, Edges edge, uint16_t, double, double value, void* context)
{
    Record(channel, edge, value, context);
}

std::vector<Call> CallsSoFar()
{
    std::lock_guard<std::mutex> lock(CallsMutex);
    return Calls;
}

class LooperTest : public ConverterTest
{
protected:
    void SetUp() override
    {
        ConverterTest::SetUp();
        Calls.clear();
        StartDriver();
        le_ExtAdc_SetConversionSpeed(0);   // 12 bits: 7 x 5 ms a measurement
        for (IOT_ADC c : {ADC1, ADC2, ADC3, ADC4}) le_ExtAdc_SetInterface(c, 0);
        // ConvertedValue = code / 10 at 12 bits: 0 to 200 over 0 to 2000 codes.
        le_ExtAdc_SetConverter(ADC1 | ADC2 | ADC3 | ADC4, 0.0, 200.0);
        le_ExtAdc_SetEdges(ADC1 | ADC2 | ADC3 | ADC4, 0.0, 100.0, 1.0);
    }

    // Handlers a test removed itself are removed again here, to no effect.
    void TearDown() override
    {
        for (auto v : values_) le_ExtAdc_RemoveOnValueHandler(v);
        for (auto a : alerts_) le_ExtAdc_RemoveOnAlertHandler(a);
        EXPECT_FALSE(UCLooperRunning());
        ConverterTest::TearDown();
    }

    le_ExtAdc_ValueHandlerRef_t AddValue(uint8_t mask, int tag)
    {
        return values_.emplace_back(le_ExtAdc_AddOnValueHandler(mask, OnValue, Tag(tag)));
    }
    void AddAlert(uint8_t mask, int tag) { alerts_.push_back(le_ExtAdc_AddOnAlertHandler(mask, OnAlert, Tag(tag))); }
    std::vector<le_ExtAdc_ValueHandlerRef_t> values_;
    std::vector<le_ExtAdc_AlertHandlerRef_t> alerts_;
};

// Feeds ADC1 the next value (ConvertedValue units, code / 10) once a pass has measured it.
std::deque<double> NextValues;
void FeedNext(IOT_ADC, uint16_t, double, double, void*)
{
    if (NextValues.empty()) return;
    simAdc_SetInput(1, std::lround(NextValues.front() * 10) * Lsb12);
    NextValues.pop_front();
}
}

// A measure-now request ends the wait at the end of the second it came in; without one the whole
// interval passes.
TEST_F(LooperTest, EachChannelIsMeasuredOncePerPassAndMeasureNowEndsTheWaitAtTheEndOfItsSecond)
{
    le_ExtAdc_SetInterval(2500);
    simAdc_SetInput(1, 0.5);   // 50: inside the edges, so the alert handler hears nothing
    unsigned before = simAdc_ConversionCount();
    le_ExtAdc_MutexLock();   // so that the first pass finds all three
    AddValue(ADC1 | ADC3, 1);
    AddValue(ADC3, 2);
    AddAlert(ADC1, 3);
    le_ExtAdc_MutexUnlock();
    le_event_AdvanceMs(600);   // the first pass (2 channels of 7 conversions of 5 ms), 500 ms of sub-second wait
    EXPECT_EQ(simAdc_ConversionCount() - before, 14u);
    std::vector<Call> calls = CallsSoFar();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].handler, 1);
    EXPECT_EQ(calls[0].channel, ADC1);
    EXPECT_EQ(calls[1].channel, ADC3);
    EXPECT_EQ(calls[2].handler, 2);
    EXPECT_EQ(calls[1].value, calls[2].value);   // the same reading for both
    le_ExtAdc_MeasureNow();
    le_event_AdvanceMs(4000);
    calls = CallsSoFar();
    ASSERT_EQ(calls.size(), 9u);
    EXPECT_EQ(calls[3].atMs - calls[0].atMs, 70u + 500u + 1000u);
    EXPECT_EQ(calls[6].atMs - calls[3].atMs, 70u + 2500u);
    EXPECT_EQ(simAdc_ConversionCount() - before, 3u * 14u);
    EXPECT_EQ(le_log_CaptureCount("LOOPER ON"), 3u);
}

// From below Low a value above High alerts at once; the alert states survive the looper's restart.
TEST_F(LooperTest, AlertsFollowTheEdgesWithHysteresisAndEveryAlertHandlerGetsTheSameEdge)
{
    le_ExtAdc_SetEdges(ADC1, 0.0, 1000.0, 10.0);
    le_ExtAdc_SetConverter(ADC1, 0.0, 2000.0);   // ConvertedValue = code at 12 bits
    le_ExtAdc_SetInterval(1000);
    simAdc_SetInput(1, 1001 * Lsb12);
    // ConvertedValue = code: 1001, 995, 990, -1, 9, 10, -1, 1500 in eight passes.
    NextValues = {99.5, 99.0, -0.1, 0.9, 1.0, -0.1, 150.0};
    le_ExtAdc_MutexLock();
    le_ExtAdc_ValueHandlerRef_t passed = le_ExtAdc_AddOnValueHandler(ADC1, OnValue, Tag(9));
    le_ExtAdc_ValueHandlerRef_t feeder = le_ExtAdc_AddOnValueHandler(ADC1, FeedNext, nullptr);
    le_ExtAdc_AlertHandlerRef_t first = le_ExtAdc_AddOnAlertHandler(ADC1, OnAlert, Tag(1));
    le_ExtAdc_AlertHandlerRef_t second = le_ExtAdc_AddOnAlertHandler(ADC1, OnAlert, Tag(2));
    le_ExtAdc_MutexUnlock();
    le_event_AdvanceMs(8 * 1035 - 100);
    std::vector<int> edges1, edges2;
    size_t passes = 0;
    for (const Call& c : CallsSoFar())
    {
        if (c.handler == 9) passes++;
        if (c.handler == 1) edges1.push_back(static_cast<int>(passes) * 10 + c.edge);
        if (c.handler == 2) edges2.push_back(static_cast<int>(passes) * 10 + c.edge);
    }
    EXPECT_EQ(passes, 8u);
    // pass 1: edge 2; 2: none; 3: edge 0; 4: edge 1; 5: none; 6: edge 0; 7: edge 1; 8: edge 2.
    EXPECT_EQ(edges1, (std::vector<int>{12, 30, 41, 60, 71, 82}));
    EXPECT_EQ(edges2, edges1);

    // The last handler gone, the thread ends; the state stays and a new handler starts a new one.
    le_ExtAdc_RemoveOnValueHandler(passed);
    le_ExtAdc_RemoveOnValueHandler(feeder);
    le_ExtAdc_RemoveOnAlertHandler(first);
    le_ExtAdc_RemoveOnAlertHandler(second);
    EXPECT_FALSE(UCLooperRunning());
    EXPECT_EQ(Saved1, static_cast<uint32_t>(EDGE_HIGH));
    size_t heard = CallsSoFar().size();
    AddAlert(ADC1, 3);
    EXPECT_TRUE(UCLooperRunning());
    le_event_AdvanceMs(3000);
    EXPECT_EQ(CallsSoFar().size(), heard);   // still above High: no second edge 2
}

TEST_F(LooperTest, WithNoIntervalPassesGoOnAndAFailingChipDeliversNothing)
{
    le_ExtAdc_SetInterval(0);
    le_ExtAdc_SetDeviceAddress(0);   // 68h: nobody there, every measurement fails at once
    AddValue(ADC1, 1);
    AddAlert(ADC2, 2);
    AddValue(0, 3);   // no channel: it hears nothing
    le_event_AdvanceMs(1000);
    EXPECT_TRUE(CallsSoFar().empty());
    size_t passes = le_log_CaptureCount("LOOPER ON");
    EXPECT_GE(passes, 9u);
    EXPECT_EQ(le_log_CaptureCount("ADC1 not measured: 0 of 7 conversions read"), passes);
    le_ExtAdc_SetDeviceAddress(1);   // the chip answers again: values flow
    le_event_AdvanceMs(500);
    std::vector<Call> calls = CallsSoFar();
    EXPECT_FALSE(calls.empty());
    for (const Call& c : calls) EXPECT_EQ(c.handler, 1);
}

// Removing the last handler while a client holds the lock does not wait for the looper, which waits
// for the lock; handlers that come and go meanwhile never make a second looper.
TEST_F(LooperTest, RemovingTheLastHandlerWhileAClientHoldsTheLockDoesNotHang)
{
    le_ExtAdc_SetInterval(100);
    simAdc_SetInput(1, 0.5);
    le_ExtAdc_ValueHandlerRef_t ref = AddValue(ADC1, 1);
    le_event_AdvanceMs(100);
    le_ExtAdc_MutexLock();
    size_t held = CallsSoFar().size();
    le_event_AdvanceMs(1000);
    EXPECT_LE(CallsSoFar().size(), held + 1);   // at most the pass that was running
    uint16_t raw = 0;
    EXPECT_EQ(le_ExtAdc_GetValue(ADC1, &raw, nullptr, nullptr), LE_OK);   // the holder's own calls pass
    EXPECT_EQ(raw, 500);
    le_ExtAdc_RemoveOnValueHandler(ref);   // the looper waits for the lock: joined at unlock
    EXPECT_FALSE(UCLooperRunning());
    le_ExtAdc_MutexUnlock();
    size_t stopped = CallsSoFar().size();
    le_event_AdvanceMs(1000);
    EXPECT_EQ(CallsSoFar().size(), stopped);
    le_ExtAdc_MutexUnlock();   // not held: refused rather than released
    EXPECT_EQ(CountMessages("MUTEX OFF refused: the lock is not held"), 1u);

    auto threads = [] {
        std::string status = ReadTextFile("/proc/self/status");
        return std::stoul(status.substr(status.find("Threads:") + 8));
    };
    size_t before = threads();
    le_ExtAdc_MutexLock();
    for (int i = 0; i < 50; i++) le_ExtAdc_RemoveOnValueHandler(le_ExtAdc_AddOnValueHandler(ADC1, OnValue, Tag(2)));
    ref = AddValue(ADC1, 3);
    EXPECT_LE(threads(), before + 1);
    le_ExtAdc_MutexUnlock();
    size_t resumed = CallsSoFar().size();
    le_event_AdvanceMs(500);
    EXPECT_GT(CallsSoFar().size(), resumed);   // the one looper serves the handler
    le_ExtAdc_RemoveOnValueHandler(ref);
    EXPECT_EQ(threads(), before);
}

//--------------------------------------------------------------------------------------------------
// Data Hub binding
//--------------------------------------------------------------------------------------------------
namespace
{
class BindingTest : public ConverterTest
{
protected:
    void SetUp() override
    {
        ConverterTest::SetUp();
        Boot("converter");
        pushes_ = le_log_CaptureCount("Value Pushed.");
    }

    // Values published since the last call.
    size_t NewPushes()
    {
        size_t before = pushes_;
        pushes_ = le_log_CaptureCount("Value Pushed.");
        return pushes_ - before;
    }
    size_t pushes_ = 0;
};
}

// A period and an enabled channel, in either order, publish once per period; the period's bounds.
TEST_F(BindingTest, PeriodAndEnableInEitherOrderPublishOncePerPeriodWithinItsBounds)
{
    Push("uc_input1/period", "5");
    le_event_AdvanceMs(20000);
    EXPECT_EQ(NewPushes(), 0u);
    Push("uc_input1/enable", "true");
    le_event_AdvanceMs(20000);
    EXPECT_EQ(NewPushes(), 4u);
    EXPECT_EQ(Value("uc_input1/value"), "60");   // 1.2 V of 2.0 V, zero-based

    Push("uc_input2/enable", "true");   // period 0: the timer stays stopped
    le_event_AdvanceMs(10000);
    EXPECT_EQ(Value("uc_input2/value"), "");
    Push("uc_input2/period", "10");   // now it starts
    le_event_AdvanceMs(10000);
    EXPECT_EQ(Value("uc_input2/value"), "20");
    Push("uc_input2/enable", "false");
    NewPushes();
    le_event_AdvanceMs(20000);
    EXPECT_EQ(NewPushes(), 4u);   // channel 1 only

    // Above 0.9 s and not above 2^31 - 1 s; an invalid period stops the channel and is cleared.
    const std::pair<const char*, uint32_t> periods[] = {{"0.9", 0},        {"0.95", 950},       {"0.5", 0},
                                                        {"2147483648", 0}, {"3000000000", 0}, {"7", 7000}};
    for (const auto& period : periods)
    {
        Push("uc_input1/period", period.first);
        EXPECT_EQ(le_timer_IsRunning(Input1.timer), period.second != 0) << period.first;
        EXPECT_EQ(period.second != 0 ? le_timer_GetMsInterval(Input1.timer) : Input1.period, period.second)
            << period.first;
    }
    le_event_AdvanceMs(3000);
    NewPushes();
    Push("uc_input1/period", "7");
    le_event_AdvanceMs(4100);
    EXPECT_EQ(NewPushes(), 1u);   // at 7 s from the first push, not 7 s from the second
}

TEST_F(BindingTest, TriggersPublishOnlyForEnabledChannels)
{
    Push("uc_input3/trigger", "");
    EXPECT_EQ(NewPushes(), 0u);
    Push("uc_input3/enable", "true");
    Push("uc_input3/trigger", "");
    EXPECT_EQ(NewPushes(), 1u);
    EXPECT_EQ(Value("uc_input3/value"), "100");

    // The measurement runs beside the loop: the loop has handled the trigger at once, and its
    // time has not moved while the conversions are made.
    ASSERT_TRUE(simAdc_SetInput(3, 1.0));
    uint64_t before = le_clk_NowMs();
    ASSERT_EQ(dhub_AdminPush("uc_input3/trigger", ""), LE_OK);
    le_event_RunUntilIdle();
    EXPECT_EQ(le_clk_NowMs(), before);
    EXPECT_EQ(CountMessages("Trigger fired."), 2u);
    EXPECT_EQ(NewPushes(), 0u);
    // Triggers that come while it is queued or under way are served by it: one measurement, one value.
    le_event_AdvanceMs(100);
    for (int i = 0; i < 2000; i++) ASSERT_EQ(dhub_AdminPush("uc_input3/trigger", ""), LE_OK);
    le_event_AdvanceMs(3 * MeasureMs);
    EXPECT_EQ(NewPushes(), 1u);
    EXPECT_EQ(Value("uc_input3/value"), "50");
}

TEST_F(BindingTest, GainInterfaceAndAddressPushes)
{
    Push("uc_input4/enable", "true");
    Push("uc_input4/gain", "2");   // x4: 0.8 V reads as 3.2 V, over range
    Push("uc_input4/gain", "5");   // refused: the gain stays x4
    EXPECT_EQ(MinMaxADC4.Gain, 2u);
    Push("uc_input4/trigger", "");   // the chip clips at 32767
    EXPECT_DOUBLE_EQ(atof(Value("uc_input4/value").c_str()), (32767.0 - 32000.0) / 25600.0 * 100.0 + 100.0);
    Push("uc_input4/gain", "0");
    Push("uc_input4/interface", "1");   // live zero: 0.8 V is 12800 codes, 25 %
    Push("uc_input4/trigger", "");
    EXPECT_EQ(Value("uc_input4/value"), "25");
    Push("uc_input4/interface", "-3");   // truncated: 0
    EXPECT_EQ(MinMaxADC4.InterfaceType, 0u);

    Push("settings/i2c_high_resolution", "false");
    EXPECT_EQ(CountMessages("Low precision"), 1u);
    Push("uc_input4/trigger", "");
    EXPECT_EQ(Value("uc_input4/value"), "40");   // 800 of 2000 codes at 12 bits

    Push("settings/i2c_address", "1");   // 6Ch: no chip there, every read fails
    EXPECT_EQ(CountMessages("6Ch"), 2u);   // once at start, once now
    Push("uc_input4/trigger", "");
    EXPECT_EQ(Value("uc_input4/value"), "40");   // no reading: the last good value stays
    EXPECT_EQ(CountMessages("Value not pushed to uc_input4/value: the measurement failed (LE_IO_ERROR)"), 1u);
    Push("settings/i2c_address", "256");   // low 8 bits: index 0, 68h
    EXPECT_EQ(CountMessages("68h"), 2u);
    ASSERT_TRUE(simAdc_SetInput(4, 1.0));
    Push("uc_input4/trigger", "");
    EXPECT_EQ(Value("uc_input4/value"), "50");
}

//--------------------------------------------------------------------------------------------------
// The add-on converter: the same core on two channels, each the median of five conversions, its
// resources under addon/ with no gain, built and torn down with add-on type 6
//--------------------------------------------------------------------------------------------------
TEST_F(ScriptedTest, TheAddOnConverterKeepsTheMedianOfFiveConversionsOnItsTwoChannels)
{
    StartAddONUC();   // at 6Ch, where the scripted chip is
    le_ExtAdcAddON_SetInterface(ADC1 | ADC2, 0);
    size_t results = CountLinesWith("Results", "");
    // Of the conversions read, the median; the mean of the middle two for an even count.
    struct Row { IOT_ADC channel; std::deque<int> script; int raw; uint8_t config; };
    const Row rows[] = {{ADC1, {100, 900, 300, 500, 700}, 500, 0x00}, {ADC2, {300, Fail, 100, Fail, 200}, 200, 0x20},
                        {ADC2, {300, 100, Fail, 400, 200}, 250, 0x20}, {ADC2, {300, 300, Fail, Fail, Fail}, -1, 0x20}};
    for (const Row& row : rows)
    {
        Script = row.script;
        unsigned writes = ConfigWrites;
        uint16_t raw = 0xBEEF;
        EXPECT_EQ(le_ExtAdcAddON_GetValue(row.channel, &raw, nullptr, nullptr), row.raw < 0 ? LE_IO_ERROR : LE_OK);
        EXPECT_EQ(raw, row.raw < 0 ? 0xBEEF : row.raw);
        EXPECT_EQ(ConfigWrites - writes, 5u);
        EXPECT_EQ(LastConfig & 0x60, row.config);   // the channel's bits
    }
    EXPECT_EQ(CountLinesWith("Results", ""), results);   // no line of its own
    EXPECT_EQ(le_ExtAdcAddON_GetValue(ADC3, nullptr, nullptr, nullptr), LE_BAD_PARAMETER);
    // The base converter's settings are its own.
    le_ExtAdcAddON_SetGain(ADC1, 3);
    EXPECT_EQ(MinMaxADCAddON1.Gain, 3u);
    EXPECT_EQ(MinMaxADC1.Gain, 0u);
}

namespace
{
class AddOnConverterTest : public ConverterTest
{
protected:
    void SetUp() override
    {
        ConverterTest::SetUp();
        Calls.clear();
        Boot("addon", {{"addon.board", "uc2i"}, {"addon.adc.ch1", "1.0"}, {"addon.adc.ch2", "0.5"}});
        Push("settings/addon_type", "6");
        Push("addon/settings/i2c_address", "1");   // 6Ch, where the board's chip sits
    }
};
}

// Built again, it starts from its defaults and keeps its handlers and running looper; type 0 removes it.
TEST_F(AddOnConverterTest, BuiltUnderAddonRebuiltFromItsDefaultsAndRemovedByTypeZero)
{
    std::vector<std::string> paths = {"addon/settings/i2c_address", "addon/settings/i2c_high_resolution"};
    for (const char* channel : {"addon/uc_input1/", "addon/uc_input2/"})
    {
        for (const char* leaf : {"value", "enable", "period", "trigger", "interface"})
        {
            paths.push_back(channel + std::string(leaf));
        }
    }
    for (const std::string& path : paths) EXPECT_TRUE(HasResource(path.c_str())) << path;
    EXPECT_FALSE(HasResource("addon/uc_input1/gain"));
    EXPECT_FALSE(HasResource("addon/uc_input3/value"));

    Push("addon/uc_input1/period", "1");
    Push("addon/uc_input1/enable", "true");
    le_event_AdvanceMs(1000);
    EXPECT_EQ(Value("addon/uc_input1/value"), "50");   // 1.0 V of 2.0, zero-based
    Push("addon/uc_input2/interface", "1");
    Push("addon/uc_input2/enable", "true");
    Push("addon/uc_input2/trigger", "");
    EXPECT_EQ(Value("addon/uc_input2/value"), "6.25");   // (8000 - 6400) / 25600, live zero

    Push("addon/uc_input1/enable", "false");
    le_ExtAdcAddON_SetInterval(100);
    le_ExtAdcAddON_SetGain(ADC2, 2);
    le_ExtAdcAddON_ValueHandlerRef_t none = le_ExtAdcAddON_AddOnValueHandler(ADC3 | ADC4, OnValue, Tag(3));
    le_ExtAdcAddON_ValueHandlerRef_t first = le_ExtAdcAddON_AddOnValueHandler(ADC1, OnValue, Tag(1));
    ASSERT_NE(none, nullptr);
    le_event_AdvanceMs(1000);
    ASSERT_FALSE(CallsSoFar().empty());
    for (const Call& c : CallsSoFar()) EXPECT_EQ(c.channel, ADC1);   // it has no channel 3 or 4
    Push("settings/addon_type", "6");
    EXPECT_EQ(MinMaxADCAddON2.Gain, 0u);
    EXPECT_TRUE(UCAddONLooperRunning());
    size_t before = CallsSoFar().size();
    le_event_AdvanceMs(20000);   // the interval is back at 10 s
    EXPECT_GE(CallsSoFar().size() - before, 1u);
    EXPECT_LE(CallsSoFar().size() - before, 3u);
    le_ExtAdcAddON_RemoveOnValueHandler(first);
    le_ExtAdcAddON_RemoveOnValueHandler(none);
    EXPECT_FALSE(UCAddONLooperRunning());

    Push("addon/uc_input1/enable", "true");
    ASSERT_TRUE(le_timer_IsRunning(InputAddON1.timer));
    Push("settings/addon_type", "0");
    EXPECT_FALSE(le_timer_IsRunning(InputAddON1.timer));
    for (const std::string& path : paths)
    {
        dhub_ResourceInfo_t info;
        EXPECT_EQ(dhub_GetInfo(path.c_str(), &info, nullptr, 0), LE_NOT_FOUND) << path;   // no handler left either
    }
    size_t pushed = CountMessages("Value Pushed.");
    le_event_AdvanceMs(5000);
    EXPECT_EQ(CountMessages("Value Pushed."), pushed);
}
