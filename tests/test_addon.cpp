// The add-on slot on the simulated board: selection and teardown, the native GPIO points, and the
// two MCP23008 expander boards driven through the simulated chip and its interrupt line.
#include "ServiceOctaveGPIO.h"
#include "ServiceOctaveGPIO_8I.h"
#include "UniversalConverterOctave.h"
#include "component_fixture.h"
#include "le_gpio.h"
#include "pa_system.h"
#include "sim_mcp23008.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <mutex>

namespace
{
const char* const Reboot = "/sbin/reboot -f";
const int Pins[4] = {42, 33, 13, 8};

class AddOnTest : public ComponentTest
{
protected:
    std::mutex pushMutex;
    std::vector<std::string> pushes;   // "path=value" of every push under addon/, in order
    void* watch = nullptr;

    void SetUp() override
    {
        ComponentTest::SetUp();
        watch = dhub_AddWatch("addon/", OnPush, this);
    }

    void TearDown() override
    {
        dhub_RemoveWatch(watch);
        ComponentTest::TearDown();
    }

    static void OnPush(const char* path, io_DataType_t, double, const char* value, void* ctx)
    {
        auto* self = static_cast<AddOnTest*>(ctx);
        std::lock_guard<std::mutex> lock(self->pushMutex);
        self->pushes.push_back(std::string(path) + "=" + value);
    }

    // The pushes so far whose path starts with the prefix; all of them are taken.
    std::vector<std::string> TakePushes(const char* prefix = "addon/")
    {
        le_event_RunUntilIdle();
        std::lock_guard<std::mutex> lock(pushMutex);
        std::vector<std::string> taken;
        for (const std::string& p : pushes)
        {
            if (p.compare(0, strlen(prefix), prefix) == 0) taken.push_back(p);
        }
        pushes.clear();
        return taken;
    }

    void BootAddOn(const char* board = "none", const std::vector<std::pair<std::string, std::string>>& more = {})
    {
        std::vector<std::pair<std::string, std::string>> settings = {{"addon.board", board}};
        settings.insert(settings.end(), more.begin(), more.end());
        Boot("addon", settings);
        ASSERT_EQ(BoardType, 1);
    }

    void Select(const char* type) { Push("settings/addon_type", type); }

    pa_gpioSim_State_t Pin(int number)
    {
        pa_gpioSim_State_t state{};
        EXPECT_TRUE(pa_gpioSim_GetState(number, &state));
        return state;
    }

    void SetSim(const char* key, const char* value)
    {
        char err[160] = "";
        ASSERT_TRUE(simBoard_Set(key, value, err, sizeof(err))) << err;
    }

    // Message texts of the captured lines from the index on, in order.
    std::vector<std::string> Messages(size_t from = 0)
    {
        std::vector<std::string> all;
        for (size_t i = from; i < le_log_CaptureSize(); i++)
        {
            char line[1200];
            le_log_CaptureLine(i, line, sizeof(line));
            if (strstr(line, "| VeltronaComponent ") == nullptr) continue;
            const char* bar = strstr(line, ") ");
            const char* text = bar ? strstr(bar, " | ") : nullptr;
            if (text) all.push_back(text + 3);
        }
        return all;
    }

    // What the GPIO teardown logged: the messages from the index on, up to the teardowns of the
    // Modbus board and the add-on converter that follow it.
    std::vector<std::string> GpioTeardown(size_t from)
    {
        std::vector<std::string> all = Messages(from);
        all.erase(std::find_if(all.begin(), all.end(),
                               [](const std::string& m) { return m.rfind("Clear Main Resources", 0) == 0; }),
                  all.end());
        return all;
    }

    // Resources under the seventeen paths of the GPIO boards.
    size_t AddOnResourceCount()
    {
        size_t n = HasResource("addon/i2c_address");
        for (std::string kind : {"addon/input", "addon/output"})
        {
            for (int i = 1; i <= 8; i++) n += HasResource((kind + std::to_string(i)).c_str());
        }
        return n;
    }

    // The expander's registers: IODIR, IPOL, GPINTEN, IOCON, GPPU and OLAT.
    static std::vector<int> Registers()
    {
        std::vector<int> r;
        for (uint8_t reg : {0x00, 0x01, 0x02, 0x05, 0x06, 0x0A}) r.push_back(simMcp23008_Register(reg));
        return r;
    }
};

//--------------------------------------------------------------------------------------------------
// Selection and teardown
//--------------------------------------------------------------------------------------------------
// Type 1: four native inputs, each reporting its level once at the build and once per edge; type 0
// clears them and turns their edge sensing off. The type is the pushed number's low byte, truncated,
// and each type tears down the one before, with whatever was left under the seventeen paths.
TEST_F(AddOnTest, TypesComeFromTheTruncatedLowByteAndEachTearsDownTheOneBefore)
{
    BootAddOn("none", {{"gpio.33", "0"}});
    Select("1");
    for (int pin : Pins)
    {
        EXPECT_EQ(Pin(pin).handlerCount, 1u) << pin;
        EXPECT_EQ(Pin(pin).edge, LE_GPIO_EDGE_BOTH) << pin;
    }
    std::vector<std::string> built = {"addon/input1=true", "addon/input2=false", "addon/input3=true",
                                      "addon/input4=true"};
    EXPECT_EQ(TakePushes(), built);
    SetSim("gpio.33", "1");
    SetSim("gpio.33", "1");   // no edge
    SetSim("gpio.33", "0");
    SetSim("gpio.13", "0");
    std::vector<std::string> edges = {"addon/input2=true", "addon/input2=false", "addon/input3=false"};
    EXPECT_EQ(TakePushes(), edges);
    EXPECT_EQ(CountMessages("GPIO Input State Changed."), 3u);

    size_t mark = le_log_CaptureSize();
    Select("0");
    EXPECT_EQ(AddOnResourceCount(), 0u);
    for (int pin : Pins)
    {
        EXPECT_EQ(Pin(pin).handlerCount, 0u) << pin;
        EXPECT_EQ(Pin(pin).edge, LE_GPIO_EDGE_NONE) << pin;
    }
    std::vector<std::string> expected = {"Clear AddOn Resources.", "Clear IO Handler 1", "Clear IO Handler 2",
                                         "Clear IO Handler 3", "Clear IO Handler 4"};
    EXPECT_EQ(GpioTeardown(mark), expected);
    SetSim("gpio.33", "1");   // an edge after the teardown reaches nobody
    EXPECT_TRUE(TakePushes().empty());

    // With nothing built the teardown logs only its first line, and deletes the left-overs too.
    for (const char* path : {"addon/input7", "addon/i2c_address", "addon/output2"})
    {
        ASSERT_EQ(io_CreateInput(path, IO_DATA_TYPE_BOOLEAN, ""), LE_OK);
    }
    mark = le_log_CaptureSize();
    Select("9");
    EXPECT_EQ(GpioTeardown(mark), std::vector<std::string>{"Clear AddOn Resources."});
    EXPECT_EQ(AddOnResourceCount(), 0u);
    EXPECT_EQ(SettingsUC.addOnType, 9);
    struct Row { const char* pushed; int type; const char* logged; const char* built; };
    const Row rows[] = {
        {"1.7", 1, "Outputs ON.", "addon/input1"}, {"257", 1, "Outputs ON.", "addon/input4"},
        {"-3", 0, nullptr, nullptr},               {"258.9", 2, "Inputs ON.", "addon/output1"},
        {"3", 3, "Outputs/Inputs ON.", "addon/output4"},
        {"5", 5, "Board 8i8o.", "addon/modbus_address"}, {"6", 6, "UC2i.", "addon/uc_input1/value"},
    };
    for (const Row& row : rows)
    {
        mark = le_log_CaptureSize();
        Select(row.pushed);
        EXPECT_EQ(SettingsUC.addOnType, row.type) << row.pushed;
        EXPECT_EQ(AddOnResourceCount(), row.type >= 1 && row.type <= 3 ? 4u : 0u) << row.pushed;
        std::vector<std::string> logged = Messages(mark);
        EXPECT_EQ(std::count(logged.begin(), logged.end(), "Clear AddOn Resources."), 1) << row.pushed;
        if (row.logged == nullptr) continue;
        EXPECT_EQ(std::count(logged.begin(), logged.end(), row.logged), 1) << row.pushed;
        EXPECT_TRUE(HasResource(row.built)) << row.pushed;
    }
}

//--------------------------------------------------------------------------------------------------
// The expander boards
//--------------------------------------------------------------------------------------------------
// Lines that change before the handler runs are pushed in one pass, in ascending order.
TEST_F(AddOnTest, The8InputBoardReportsLinesPulledLowAsTrueWhateverTheTypeBefore)
{
    BootAddOn("8i", {{"addon.in3", "0"}, {"addon.in8", "0"}});
    Select("7");   // by mistake: lines 4 to 7 become outputs, driven low
    EXPECT_EQ(simMcp23008_Register(0x00), 0x0F);
    TakePushes();
    Select("4");
    std::vector<std::string> built = {"addon/input1=false", "addon/input2=false", "addon/input3=true",
                                      "addon/input4=false", "addon/input5=false", "addon/input6=false",
                                      "addon/input7=false", "addon/input8=true"};
    EXPECT_EQ(TakePushes("addon/input"), built);
    // All inputs, inverted, each raising the interrupt; no pull-ups.
    EXPECT_EQ(Registers(), (std::vector<int>{0xFF, 0xFF, 0xFF, 0x24, 0x00, 0x00}));
    EXPECT_FALSE(Pin(8).isOutput);   // the interrupt line
    EXPECT_EQ(Pin(8).handlerCount, 1u);
    EXPECT_EQ(Value("addon/i2c_address"), "0");
    SetSim("addon.in7", "0");   // a line that was an output
    EXPECT_EQ(TakePushes(), std::vector<std::string>{"addon/input7=true"});

    size_t mark = le_log_CaptureSize();
    SetSim("addon.in5", "0");
    SetSim("addon.in2", "0");
    EXPECT_FALSE(simMcp23008_IntLevel());   // INT pulls pin 8 low
    EXPECT_EQ(TakePushes(), (std::vector<std::string>{"addon/input2=true", "addon/input5=true"}));
    std::vector<std::string> seen;
    for (const std::string& m : Messages(mark))
    {
        if (m == "GPIO Fired!!!" || m.compare(0, 5, "Gpio ") == 0) seen.push_back(m);
    }
    // The falling edge's pass brings both; the rising edge once INT is released finds nothing new.
    std::vector<std::string> passes = {"GPIO Fired!!!", "Gpio 2 - value:1", "Gpio 5 - value:1", "GPIO Fired!!!"};
    EXPECT_EQ(seen, passes);
    EXPECT_TRUE(simMcp23008_IntLevel());
    SetSim("addon.in2", "1");
    EXPECT_EQ(TakePushes(), std::vector<std::string>{"addon/input2=false"});
    EXPECT_EQ(CountMessages("Gpio 2 - value:0"), 1u);
}

TEST_F(AddOnTest, TheAddressSettingMovesEveryAccessAndReadsTheInputsThereAtOnce)
{
    BootAddOn("8i", {{"addon.address", "0x22"}, {"addon.in1", "0"}});
    Select("4");
    // Nobody answers at 20h: the set-up fails, and an unread port says nothing about the inputs.
    size_t failed = CountMessages("0x01 Failed.");
    EXPECT_GE(failed, 1u);
    EXPECT_EQ(CountMessages("0x01 Setup."), 0u);
    EXPECT_EQ(simMcp23008_Register(0x01), 0x00);
    EXPECT_TRUE(TakePushes("addon/input").empty());

    // At 22h (as a kept address delivered after a restart would be) the inputs show at once.
    Push("addon/i2c_address", "2");
    EXPECT_EQ(CountMessages("0x01 Setup."), 1u);
    EXPECT_EQ(CountMessages("0x06 Setup."), 1u);
    EXPECT_EQ(simMcp23008_Register(0x01), 0xFF);
    EXPECT_EQ(TakePushes("addon/input"), std::vector<std::string>{"addon/input1=true"});
    Push("addon/i2c_address", "7");
    EXPECT_EQ(CountMessages("0x01 Setup."), 2u);   // set up again, at 22h still
    Push("addon/i2c_address", "-1");
    EXPECT_EQ(CountMessages("0x01 Setup."), 3u);
    EXPECT_EQ(CountMessages("0x01 Failed."), failed);
    // The interrupt loop reads at 22h too.
    SetSim("addon.in1", "1");
    SetSim("addon.in2", "0");
    EXPECT_EQ(TakePushes("addon/input"), (std::vector<std::string>{"addon/input1=false", "addon/input2=true"}));

    // An interrupt held while the module looks at another address is cleared when the address comes back.
    Push("addon/i2c_address", "1");   // 21h: nobody there
    SetSim("addon.in3", "0");          // the chip at 22h pulls its interrupt line low, and holds it
    EXPECT_TRUE(TakePushes("addon/input").empty());
    EXPECT_FALSE(simMcp23008_IntLevel());
    EXPECT_EQ(CountLinesWith("Expander at 0x21 does not answer", ""), 1u);
    Push("addon/i2c_address", "2");   // the read at 22h clears it and catches up
    EXPECT_TRUE(simMcp23008_IntLevel());
    EXPECT_EQ(TakePushes("addon/input"), std::vector<std::string>{"addon/input3=true"});
    SetSim("addon.in4", "0");         // and later edges come through again
    EXPECT_EQ(TakePushes("addon/input"), std::vector<std::string>{"addon/input4=true"});

    // A rebuild starts at 20h again.
    failed = CountMessages("0x01 Failed.");
    Select("4");
    EXPECT_GT(CountMessages("0x01 Failed."), failed);
    size_t setups = CountMessages("0x01 Setup.");
    Push("addon/i2c_address", "2.9");
    EXPECT_EQ(CountMessages("0x01 Setup."), setups + 1);
}

// The interrupt loop reads again while the line or the flags stay up, within a bound, and is free
// for the next edge after it.
TEST_F(AddOnTest, NeitherAHeldLineNorStuckFlagsHoldTheInterruptLoop)
{
    BootAddOn("8i");
    Select("4");
    TakePushes();
    // A change between the loop's last port read and its flag read: the flags are read as 0 by a
    // chip that (like this stand-in) latched them elsewhere, and only the line still shows it.
    SetSim("gpio.8", "0");   // the line held low with the flags clear
    le_event_RunUntilIdle();
    size_t fired = CountMessages("GPIO Fired!!!");
    EXPECT_EQ(fired, static_cast<size_t>(EXPANDER_MAX_PASSES));   // read again while held, within the bound
    EXPECT_EQ(CountMessages("Interrupt line still held after 64 passes"), 1u);
    SetSim("gpio.8", "1");
    le_event_RunUntilIdle();
    EXPECT_EQ(CountMessages("GPIO Fired!!!"), fired + 1);   // released: one pass, done

    // Something at 20h that is no MCP23008: every register reads FFh, so the flags never clear.
    pa_i2cSim_Device_t stuck = {[](void*, const uint8_t*, size_t n) { return static_cast<ssize_t>(n); },
                                [](void*, uint8_t* d, size_t n) { return static_cast<ssize_t>(memset(d, 0xFF, n), n); },
                                nullptr};
    pa_i2cSim_AttachDevice("/dev/i2c-5", 0x20, &stuck);
    for (size_t run = 1; run <= 2; run++)
    {
        size_t mark = le_log_CaptureSize();
        SetSim("gpio.8", run == 1 ? "0" : "1");
        le_event_RunUntilIdle();
        std::vector<std::string> messages = Messages(mark);
        EXPECT_EQ(std::count(messages.begin(), messages.end(), "GPIO Fired!!!"), 64) << run;
        EXPECT_EQ(messages.back(), "Interrupt flags still set after 64 passes") << run;
    }
}

TEST_F(AddOnTest, WithoutTheBusNothingIsPushedAndTheLoopStops)
{
    BootAddOn("8i", {{"addon.in1", "0"}});
    Select("4");
    EXPECT_EQ(TakePushes("addon/input1"), std::vector<std::string>{"addon/input1=true"});
    pa_i2cSim_RemoveBus("/dev/i2c-5");
    size_t mark = le_log_CaptureSize();
    Push("addon/i2c_address", "1");
    std::vector<std::string> expected;
    for (const char* reg : {"0x00", "0x01", "0x02", "0x05", "0x06"})
    {
        expected.push_back("I2C BUS not presented");
        expected.push_back(std::string(reg) + " Failed.");
    }
    EXPECT_EQ(Messages(mark), expected);
    EXPECT_EQ(pa_system_GetRunCount(Reboot), 1u);

    // An edge on pin 8: neither the port nor the flags can be read; input 1 keeps its level.
    mark = le_log_CaptureSize();
    SetSim("gpio.8", "0");
    le_event_RunUntilIdle();
    EXPECT_EQ(Messages(mark),
              (std::vector<std::string>{"GPIO Fired!!!", "Expander at 0x21 does not answer: its inputs are read again "
                                                         "at the next edge or address change"}));
    EXPECT_TRUE(TakePushes("addon/input").empty());
    EXPECT_EQ(pa_system_GetRunCount(Reboot), 1u);
}

// Pushing the same type again rebuilds with new handlers, the old ones gone: a push switches its pin
// once, every time, the same level again too.
TEST_F(AddOnTest, OutputsSwitchOncePerPushAfterARebuildAndATeardownSwitchesThemOffFirst)
{
    BootAddOn("4i4o");
    Select("2");
    Select("2");
    EXPECT_EQ(CountMessages("Clear IO Handler 1"), 1u);
    unsigned before = Pin(8).writeCount;
    Push("addon/output4", "true");
    Push("addon/output4", "true");
    EXPECT_EQ(Pin(8).writeCount, before + 2);
    EXPECT_EQ(CountMessages("GPIO Output State Changed."), 2u + 8u);   // 8 defaults delivered on registration
    EXPECT_FALSE(Pin(42).level);
    Push("addon/output1", "true");
    ASSERT_TRUE(Pin(42).level && Pin(8).level);
    Select("0");
    EXPECT_FALSE(Pin(42).level);
    EXPECT_FALSE(Pin(8).level);

    Select("7");
    Push("addon/output6", "true");
    ASSERT_TRUE(simMcp23008_Line(5));
    Select("1");
    EXPECT_EQ(simMcp23008_Register(0x0A), 0x00);
    EXPECT_FALSE(simMcp23008_Line(5));
    EXPECT_EQ(CountMessages("Outputs 5 to 8 switched off."), 1u);
    // Not even a placeholder: no handler is left on the outputs or the address.
    dhub_ResourceInfo_t info;
    for (const char* path : {"addon/output5", "addon/output8", "addon/i2c_address"})
    {
        EXPECT_EQ(dhub_GetInfo(path, &info, nullptr, 0), LE_NOT_FOUND) << path;
    }
    EXPECT_EQ(CountMessages("Clear IO Address Handler GPIO I2C"), 1u);
    unsigned writes = pa_i2cSim_GetTransferCount("/dev/i2c-5");
    EXPECT_NE(dhub_AdminPush("addon/output5", "true"), LE_OK);
    le_event_RunUntilIdle();
    EXPECT_EQ(pa_i2cSim_GetTransferCount("/dev/i2c-5"), writes);
}

TEST_F(AddOnTest, The4I4OLatchCarriesTheOutputsInItsHighNibbleAndOnlyItsFourInputsAreWatched)
{
    BootAddOn("4i4o", {{"addon.in1", "0"}});
    // A latch left on by whoever drove the chip before.
    int fd = pa_i2c_Open("/dev/i2c-5", O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, 0x20), 0);
    const uint8_t direction[] = {0x00, 0x0F};   // lines 4 to 7 outputs
    ASSERT_EQ(pa_i2c_Write(fd, direction, 2), 2);
    const uint8_t olat[] = {0x0A, 0xF0};
    ASSERT_EQ(pa_i2c_Write(fd, olat, 2), 2);
    pa_i2c_Close(fd);
    ASSERT_TRUE(simMcp23008_Line(4));

    Select("7");
    // Lines 0 to 3 inverted inputs raising the interrupt, 4 to 7 outputs. The first push (each
    // output's default, delivered once its handler is registered) writes all four off.
    EXPECT_EQ(Registers(), (std::vector<int>{0x0F, 0x0F, 0x0F, 0x24, 0x00, 0x00}));
    std::vector<std::string> built = {"addon/input1=true", "addon/input2=false", "addon/input3=false",
                                      "addon/input4=false"};
    EXPECT_EQ(TakePushes("addon/input"), built);
    unsigned interrupts = simMcp23008_InterruptCount();
    SetSim("addon.in7", "0");   // the outside level of an output line
    EXPECT_EQ(simMcp23008_InterruptCount(), interrupts);
    EXPECT_TRUE(TakePushes().empty());
    SetSim("addon.in2", "0");
    EXPECT_EQ(TakePushes(), std::vector<std::string>{"addon/input2=true"});
    EXPECT_EQ(CountMessages("Gpio 2 - value:1"), 1u);
    EXPECT_EQ(CountLinesWith("Gpio 5", ""), 0u);

    size_t fired = CountMessages("GPIO Fired!!!");
    Push("addon/output6", "true");
    EXPECT_EQ(simMcp23008_Register(0x0A), 0x20);
    EXPECT_TRUE(simMcp23008_Line(5));   // outputs are not inverted
    Push("addon/output8", "true");
    EXPECT_EQ(simMcp23008_Register(0x0A), 0xA0);
    EXPECT_EQ(GPIOS[7].state, 1);
    Push("addon/output6", "false");
    EXPECT_EQ(simMcp23008_Register(0x0A), 0x80);
    EXPECT_FALSE(simMcp23008_Line(5));

    // A rebuild gets the levels the cloud pushed last from the Data Hub.
    Select("7");
    EXPECT_EQ(simMcp23008_Register(0x0A), 0x80);
    // Output pushes never bring an input push or an interrupt pass.
    EXPECT_EQ(CountMessages("GPIO Fired!!!"), fired);
    EXPECT_EQ(TakePushes("addon/input").size(), 4u);   // the rebuild's only
}

}
