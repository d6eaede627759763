// The platform seams beneath the component: i2c, GPIO, AT client, RTC, power, app control,
// system commands, path mapping and files, bounded text, log filtering and the simulated board.
#include "le_appCtrl.h"
#include "le_atClient.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_gpio.h"
#include "le_log.h"
#include "le_pm.h"
#include "le_rtc.h"
#include "le_tty.h"
#include "le_utf8.h"
#include "pa_i2c.h"
#include "pa_path.h"
#include "pa_service.h"
#include "pa_system.h"
#include "sim_adc.h"
#include "sim_board.h"
#include "sim_control.h"
#include "sim_mcp23008.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
class SeamTest : public ::testing::Test
{
protected:
    TempDir dir;
    void SetUp() override
    {
        le_log_SetStderr(false);
        le_clk_SetMode(LE_CLK_VIRTUAL);
        le_log_CaptureStart();
        pa_path_ClearMappings();
        pa_i2cSim_RemoveAll();
        pa_gpioSim_Reset();
    }
    void TearDown() override
    {
        le_log_CaptureStop();
        pa_path_ClearMappings();
        pa_i2cSim_RemoveAll();
    }
};

// A register file device: the first written byte selects the register.
struct RegisterDevice
{
    uint8_t regs[256] = {};
    uint8_t pointer = 0;
};
ssize_t RegWrite(void* ctx, const uint8_t* data, size_t count)
{
    auto* d = static_cast<RegisterDevice*>(ctx);
    if (count == 0) return 0;
    d->pointer = data[0];
    for (size_t i = 1; i < count; i++) d->regs[d->pointer++] = data[i];
    return static_cast<ssize_t>(count);
}
ssize_t RegRead(void* ctx, uint8_t* data, size_t count)
{
    auto* d = static_cast<RegisterDevice*>(ctx);
    for (size_t i = 0; i < count; i++) data[i] = d->regs[d->pointer++];
    return static_cast<ssize_t>(count);
}
}

//--------------------------------------------------------------------------------------------------
// i2c
//--------------------------------------------------------------------------------------------------
TEST_F(SeamTest, SimulatedBusSelectsSlavesLikeI2cDev)
{
    RegisterDevice chip;
    pa_i2cSim_AddBus("/dev/i2c-4");
    pa_i2cSim_Device_t dev = {RegWrite, RegRead, &chip};
    pa_i2cSim_AttachDevice("/dev/i2c-4", 0x48, &dev);

    int fd = pa_i2c_Open("/dev/i2c-4", O_RDWR);
    ASSERT_GE(fd, 0);
    uint8_t one = 0;
    errno = 0;
    EXPECT_EQ(pa_i2c_Write(fd, &one, 1), -1);   // no slave selected yet
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, 0x48), 0);
    const uint8_t config[] = {0x01, 0xC3, 0x83};
    EXPECT_EQ(pa_i2c_Write(fd, config, sizeof(config)), 3);
    EXPECT_EQ(chip.regs[1], 0xC3);
    EXPECT_EQ(chip.regs[2], 0x83);
    uint8_t reg = 0x01, back[2] = {};
    EXPECT_EQ(pa_i2c_Write(fd, &reg, 1), 1);
    EXPECT_EQ(pa_i2c_Read(fd, back, 2), 2);
    EXPECT_EQ(back[0], 0xC3);

    // Nobody answers at another address; a failing bus gives EIO; bad requests are refused.
    ASSERT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, 0x49), 0);
    errno = 0;
    EXPECT_EQ(pa_i2c_Read(fd, back, 2), -1);
    EXPECT_EQ(errno, ENXIO);
    ASSERT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, 0x48), 0);
    pa_i2cSim_SetBusFault("/dev/i2c-4", true);
    errno = 0;
    EXPECT_EQ(pa_i2c_Write(fd, config, sizeof(config)), -1);
    EXPECT_EQ(errno, EIO);
    pa_i2cSim_SetBusFault("/dev/i2c-4", false);
    EXPECT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, 0x80), -1);
    EXPECT_EQ(pa_i2c_Ioctl(fd, 0x0703, 0x48), -1);
    EXPECT_GE(pa_i2cSim_GetTransferCount("/dev/i2c-4"), 5u);

    // A bus removed while open fails transfers; the descriptor can still be closed once.
    pa_i2cSim_RemoveBus("/dev/i2c-4");
    errno = 0;
    EXPECT_EQ(pa_i2c_Write(fd, config, sizeof(config)), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(pa_i2c_Close(fd), 0);
    EXPECT_EQ(pa_i2c_Close(fd), -1);
}

TEST_F(SeamTest, UnsimulatedBusGoesToTheRealDeviceThroughTheMapping)
{
    // A plain file stands in for the character device: transfers are real reads and writes, and
    // the slave selection fails as on any file that is not an i2c adapter.
    ASSERT_EQ(mkdir(dir.File("dev").c_str(), 0700), 0);
    ASSERT_TRUE(WriteTextFile(dir.File("dev/i2c-7"), "\x11\x22"));
    ASSERT_EQ(pa_path_AddMapping("/dev", dir.File("dev").c_str()), LE_OK);
    int fd = pa_i2c_Open("/dev/i2c-7", O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_LT(fd, 1 << 20);
    errno = 0;
    EXPECT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, 0x20), -1);
    EXPECT_EQ(errno, ENOTTY);
    uint8_t buf[2];
    EXPECT_EQ(pa_i2c_Read(fd, buf, 2), 2);
    EXPECT_EQ(buf[1], 0x22);
    EXPECT_EQ(pa_i2c_Write(fd, "\x33", 1), 1);
    EXPECT_EQ(pa_i2c_Close(fd), 0);
    EXPECT_EQ(ReadTextFile(dir.File("dev/i2c-7")), "\x11\x22\x33");
    EXPECT_EQ(pa_i2c_Open("/dev/i2c-6", O_RDWR), -1);
}

TEST_F(SeamTest, SimulatedConverterFollowsItsDatasheet)
{
    pa_i2cSim_AddBus("/dev/i2c-5");
    simAdc_Attach("/dev/i2c-5", 0x6A);
    ASSERT_TRUE(simAdc_SetInput(2, 0.5));
    ASSERT_TRUE(simAdc_SetInput(3, -0.3));
    ASSERT_TRUE(simAdc_SetInput(4, 5.0));
    EXPECT_FALSE(simAdc_SetInput(5, 1.0));
    int fd = pa_i2c_Open("/dev/i2c-5", O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, 0x6A), 0);
    auto convert = [fd](uint8_t config, uint64_t waitMs, size_t count, uint8_t* out) {
        EXPECT_EQ(pa_i2c_Write(fd, &config, 1), 1);
        le_thread_SleepMs(waitMs);
        EXPECT_EQ(pa_i2c_Read(fd, out, count), static_cast<ssize_t>(count));
    };
    uint8_t b[5];
    // Channel 2, one-shot, 16 bits, x1: busy at 66 ms, ready at 67 with 0.5 V / 62.5 uV = 8000.
    convert(0xA8, 66, 3, b);
    EXPECT_EQ(b[2] & 0x80, 0x80);
    le_thread_SleepMs(1);
    ASSERT_EQ(pa_i2c_Read(fd, b, 4), 4);
    EXPECT_EQ((b[0] << 8) | b[1], 8000);
    EXPECT_EQ(b[2], 0x28);   // the configuration, ready
    EXPECT_EQ(b[3], 0x28);   // and again for further bytes
    // Channel 3 at 12 bits and x4: -0.3 V x 4 / 1 mV, two's complement, ready after 5 ms.
    convert(0xC2, 5, 3, b);
    EXPECT_EQ(static_cast<int16_t>((b[0] << 8) | b[1]), -1200);
    EXPECT_EQ(b[2] & 0x80, 0);
    // Channel 4 beyond the range: clipped to the largest 14-bit code.
    convert(0xE4, 17, 3, b);
    EXPECT_EQ((b[0] << 8) | b[1], 8191);
    // 18 bits: three data bytes, 267 ms.
    convert(0xAC, 266, 4, b);
    EXPECT_EQ(b[3] & 0x80, 0x80);
    le_thread_SleepMs(1);
    ASSERT_EQ(pa_i2c_Read(fd, b, 4), 4);
    EXPECT_EQ((b[0] << 16) | (b[1] << 8) | b[2], 32000);   // 0.5 V / 15.625 uV
    EXPECT_EQ(b[3], 0x2C);
    // Continuous mode: a new result every conversion time; reading it sets the ready bit again.
    convert(0xB0, 5, 3, b);
    EXPECT_EQ(b[2], 0x30);
    ASSERT_EQ(pa_i2c_Read(fd, b, 3), 3);
    EXPECT_EQ(b[2], 0xB0);
    le_thread_SleepMs(5);
    ASSERT_EQ(pa_i2c_Read(fd, b, 3), 3);
    EXPECT_EQ(b[2], 0x30);
    EXPECT_EQ((b[0] << 8) | b[1], 500);
    EXPECT_EQ(simAdc_ConversionCount(), 8u);   // power-on, four one-shots, three continuous (one running)
    pa_i2c_Close(fd);
    simAdc_Detach();
    fd = pa_i2c_Open("/dev/i2c-5", O_RDWR);
    ASSERT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, 0x6A), 0);
    EXPECT_EQ(pa_i2c_Read(fd, b, 3), -1);   // nobody answers any more
    pa_i2c_Close(fd);
}

namespace
{
std::vector<bool> IntLevels;   // every level the expander's INT pin took, in order
void OnInt(bool level)
{
    IntLevels.push_back(level);
}

class ExpanderChip
{
public:
    ExpanderChip()
    {
        pa_i2cSim_AddBus("/dev/i2c-5");
        IntLevels.clear();
        for (unsigned line = 0; line < 8; line++) simMcp23008_SetLine(line, true);
        simMcp23008_Attach("/dev/i2c-5", 0x21, OnInt);
        fd_ = pa_i2c_Open("/dev/i2c-5", O_RDWR);
        EXPECT_EQ(pa_i2c_Ioctl(fd_, PA_I2C_SLAVE_FORCE, 0x21), 0);
    }
    ~ExpanderChip()
    {
        pa_i2c_Close(fd_);
        simMcp23008_Detach();
    }
    ssize_t Write(std::vector<uint8_t> bytes) { return pa_i2c_Write(fd_, bytes.data(), bytes.size()); }
    uint8_t Read(uint8_t reg)
    {
        uint8_t value = 0xEE;
        EXPECT_EQ(pa_i2c_Write(fd_, &reg, 1), 1);
        EXPECT_EQ(pa_i2c_Read(fd_, &value, 1), 1);
        return value;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};
}

TEST_F(SeamTest, SimulatedExpanderRegistersFollowTheDatasheet)
{
    ExpanderChip chip;
    ASSERT_EQ(IntLevels, std::vector<bool>{true});   // released at power-on
    // Power-on: all lines inputs, everything else clear; a sequential read wraps after OLAT.
    uint8_t regs[12];
    uint8_t zero = 0;
    ASSERT_EQ(pa_i2c_Write(chip.fd(), &zero, 1), 1);
    ASSERT_EQ(pa_i2c_Read(chip.fd(), regs, sizeof(regs)), 12);
    EXPECT_EQ(regs[0], 0xFF);
    for (int r = 1; r <= 8; r++) EXPECT_EQ(regs[r], 0x00) << r;
    EXPECT_EQ(regs[9], 0xFF);   // the lines sit high
    EXPECT_EQ(regs[11], 0xFF);  // wrapped to IODIR

    // Sequential writes fill IPOL and GPINTEN; INTF and INTCAP are read-only; IOCON bits 7, 6, 0 read 0.
    ASSERT_EQ(chip.Write({0x01, 0x0F, 0x03}), 3);
    EXPECT_EQ(chip.Read(0x01), 0x0F);
    EXPECT_EQ(chip.Read(0x02), 0x03);
    ASSERT_EQ(chip.Write({0x07, 0x55, 0x55}), 3);
    EXPECT_EQ(chip.Read(0x07), 0x00);
    ASSERT_EQ(chip.Write({0x05, 0xFF}), 2);
    EXPECT_EQ(chip.Read(0x05), 0x3E);
    // With SEQOP set the pointer stays: two bytes land in the same register, two reads repeat it.
    ASSERT_EQ(chip.Write({0x03, 0x11, 0x22}), 3);
    EXPECT_EQ(chip.Read(0x03), 0x22);
    EXPECT_EQ(chip.Read(0x04), 0x00);
    uint8_t two[2];
    uint8_t reg = 0x01;
    ASSERT_EQ(pa_i2c_Write(chip.fd(), &reg, 1), 1);
    ASSERT_EQ(pa_i2c_Read(chip.fd(), two, 2), 2);
    EXPECT_EQ(two[0], 0x0F);
    EXPECT_EQ(two[1], 0x0F);
    // A register beyond OLAT is not acknowledged.
    errno = 0;
    EXPECT_EQ(chip.Write({0x0B, 0x00}), -1);
    EXPECT_EQ(errno, EIO);

    // IPOL inverts inputs only; outputs drive their latch; writing GPIO writes OLAT.
    ASSERT_EQ(chip.Write({0x00, 0x0F}), 2);
    ASSERT_EQ(chip.Write({0x09, 0xA0}), 2);
    EXPECT_EQ(chip.Read(0x0A), 0xA0);
    EXPECT_TRUE(simMcp23008_Line(7));
    EXPECT_FALSE(simMcp23008_Line(6));
    ASSERT_TRUE(simMcp23008_SetLine(2, false));
    EXPECT_EQ(chip.Read(0x09), 0xA0 | 0x04 | 0x00);   // lines 0, 1, 3 high read 0; line 2 low reads 1
    EXPECT_FALSE(simMcp23008_SetLine(8, false));
}

TEST_F(SeamTest, SimulatedExpanderInterruptsOnChangeUntilGpioOrIntcapIsRead)
{
    ExpanderChip chip;
    ASSERT_EQ(chip.Write({0x02, 0x03}), 2);   // lines 0 and 1 against their previous level
    EXPECT_EQ(simMcp23008_InterruptCount(), 0u);
    simMcp23008_SetLine(1, false);
    EXPECT_EQ(IntLevels, (std::vector<bool>{true, false}));   // push-pull, active low at power-on
    simMcp23008_SetLine(0, false);                           // waits: the first capture holds
    EXPECT_EQ(chip.Read(0x07), 0x02);
    EXPECT_EQ(chip.Read(0x08), 0xFD);
    // Reading INTCAP clears it; line 0 differs from the capture, so the next interrupt follows at once.
    EXPECT_EQ(simMcp23008_InterruptCount(), 2u);
    EXPECT_EQ(chip.Read(0x07), 0x01);
    EXPECT_EQ(chip.Read(0x09), 0xFC);   // reading GPIO clears it; nothing differs any more
    EXPECT_EQ(chip.Read(0x07), 0x00);
    EXPECT_TRUE(simMcp23008_IntLevel());
    simMcp23008_SetLine(5, false);   // not enabled
    EXPECT_EQ(simMcp23008_InterruptCount(), 2u);

    // Against DEFVAL: a line that stays different raises it again after every clear.
    ASSERT_EQ(chip.Write({0x03, 0x01}), 2);
    ASSERT_EQ(chip.Write({0x04, 0x01}), 2);
    EXPECT_EQ(simMcp23008_InterruptCount(), 3u);
    chip.Read(0x09);
    EXPECT_EQ(simMcp23008_InterruptCount(), 4u);
    simMcp23008_SetLine(0, true);
    chip.Read(0x09);
    EXPECT_EQ(simMcp23008_InterruptCount(), 4u);
    EXPECT_TRUE(simMcp23008_IntLevel());

    // Open drain (ODR) pulls low while active; push-pull with INTPOL drives high while active.
    ASSERT_EQ(chip.Write({0x05, 0x04}), 2);
    simMcp23008_SetLine(1, true);
    EXPECT_FALSE(simMcp23008_IntLevel());
    ASSERT_EQ(chip.Write({0x05, 0x02}), 2);
    EXPECT_TRUE(simMcp23008_IntLevel());
    chip.Read(0x09);
    EXPECT_FALSE(simMcp23008_IntLevel());
}

TEST_F(SeamTest, SimulatedAddOnSlotWiresTheExpanderToPin8AndOffersItsKeys)
{
    char err[200];
    ASSERT_TRUE(simBoard_LoadPreset("addon", err, sizeof(err)));
    ASSERT_TRUE(simBoard_Set("addon.board", "8i", err, sizeof(err))) << err;
    ASSERT_TRUE(simBoard_Set("addon.in3", "0", err, sizeof(err))) << err;
    simBoard_Install();
    ASSERT_TRUE(simMcp23008_Attached());
    EXPECT_FALSE(simMcp23008_Line(2));
    int fd = pa_i2c_Open("/dev/i2c-5", O_RDWR);
    ASSERT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, 0x20), 0);
    const uint8_t setup[] = {0x02, 0xFF};
    ASSERT_EQ(pa_i2c_Write(fd, setup, 2), 2);
    pa_i2c_Close(fd);

    pa_gpioSim_State_t pin;
    ASSERT_TRUE(pa_gpioSim_GetState(8, &pin));
    EXPECT_TRUE(pin.level);
    ASSERT_TRUE(simBoard_SetLive("addon.in1", "0", err, sizeof(err))) << err;
    ASSERT_TRUE(pa_gpioSim_GetState(8, &pin));
    EXPECT_FALSE(pin.level);   // INT pulls the pin low
    char value[16];
    ASSERT_TRUE(simBoard_Get("gpio.8", value, sizeof(value), err, sizeof(err)));
    EXPECT_STREQ(value, "0");
    ASSERT_TRUE(simBoard_Get("addon.in1", value, sizeof(value), err, sizeof(err)));
    EXPECT_STREQ(value, "0");

    // A module pin the component drives shows what it drives, whatever is put on it.
    ASSERT_TRUE(simBoard_SetLive("gpio.42", "0", err, sizeof(err))) << err;
    ASSERT_EQ(le_gpioPin42_SetPushPullOutput(LE_GPIO_ACTIVE_HIGH, true), LE_OK);
    ASSERT_TRUE(simBoard_Get("gpio.42", value, sizeof(value), err, sizeof(err)));
    EXPECT_STREQ(value, "1");
    ASSERT_EQ(le_gpioPin42_SetInput(LE_GPIO_ACTIVE_HIGH), LE_OK);
    ASSERT_TRUE(simBoard_Get("gpio.42", value, sizeof(value), err, sizeof(err)));
    EXPECT_STREQ(value, "0");

    EXPECT_FALSE(simBoard_SetLive("addon.out5", "1", err, sizeof(err)));
    EXPECT_NE(strstr(err, "can be read, not set"), nullptr) << err;
    EXPECT_FALSE(simBoard_SetLive("addon.board", "4i4o", err, sizeof(err)));
    EXPECT_FALSE(simBoard_Set("gpio.7", "1", err, sizeof(err)));
    EXPECT_NE(strstr(err, "gpio.42"), nullptr) << err;
    EXPECT_FALSE(simBoard_Set("gpio.8", "high", err, sizeof(err)));
    EXPECT_FALSE(simBoard_Set("addon.in9", "0", err, sizeof(err)));
    EXPECT_FALSE(simBoard_Set("addon.board", "16i", err, sizeof(err)));
    EXPECT_FALSE(simBoard_Set("addon.address", "0x68", err, sizeof(err)));   // an 8i board's chip: 20h to 27h
    EXPECT_NE(strstr(err, "for a 8i board"), nullptr) << err;
    ASSERT_TRUE(simBoard_Set("addon.board", "none", err, sizeof(err)));
    ASSERT_TRUE(simBoard_Set("addon.address", "0x6D", err, sizeof(err))) << err;
    EXPECT_FALSE(simBoard_Set("addon.board", "4i4o", err, sizeof(err)));
    EXPECT_TRUE(simBoard_Set("addon.board", "uc2i", err, sizeof(err))) << err;
}

TEST_F(SeamTest, TheControlSocketServesEachClientOnItsOwn)
{
    char err[160];
    ASSERT_TRUE(simBoard_LoadPreset("converter", err, sizeof(err)));
    simBoard_Install();
    const std::string socketPath = dir.File("simboard.sock");
    ASSERT_EQ(simControl_Start(socketPath.c_str()), LE_OK);
    // Fifteen clients ask for lists they never read; their answers pile up.
    std::vector<int> stuck;
    std::string lists;
    for (int i = 0; i < 200; i++) lists += "LIST\n";
    for (int i = 0; i < 15; i++)
    {
        int fd = ConnectUnix(socketPath);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, lists.data(), lists.size()), static_cast<ssize_t>(lists.size()));
        stuck.push_back(fd);
    }
    usleep(200000);
    int reader = ConnectUnix(socketPath);
    ASSERT_GE(reader, 0);
    const char get[] = "GET\tadc.ch1\n";
    ASSERT_EQ(write(reader, get, sizeof(get) - 1), static_cast<ssize_t>(sizeof(get) - 1));
    struct pollfd p = {reader, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1) << "a client that reads waits for those that do not";
    char answer[64] = "";
    ASSERT_GT(read(reader, answer, sizeof(answer) - 1), 0);
    EXPECT_EQ(std::string(answer), "OK\t1.2\n");
    for (int fd : stuck) close(fd);
    close(reader);
    simControl_Stop();
}

TEST_F(SeamTest, SimulatedBoardEepromAnswersTwoByteAddresses)
{
    char err[128];
    ASSERT_TRUE(simBoard_LoadPreset("converter", err, sizeof(err)));
    simBoard_Install();
    int fd = pa_i2c_Open(SIM_EEPROM_BUS, O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, SIM_EEPROM_ADDRESS), 0);
    const uint8_t at[2] = {0x00, 0x24};
    ASSERT_EQ(pa_i2c_Write(fd, at, 2), 2);
    char block[33] = {};
    ASSERT_EQ(pa_i2c_Read(fd, block, 32), 32);
    EXPECT_STREQ(block, "Analog Front Module 4i");
    ASSERT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, SIM_PROBE_ADDRESS), 0);
    EXPECT_EQ(pa_i2c_Read(fd, block, 1), 1);   // the probe slave acknowledges
    pa_i2c_Close(fd);

    // A written byte reads back.
    fd = pa_i2c_Open(SIM_EEPROM_BUS, O_RDWR);
    ASSERT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, SIM_EEPROM_ADDRESS), 0);
    const uint8_t write[3] = {0x0F, 0xFF, 0x5A};
    ASSERT_EQ(pa_i2c_Write(fd, write, 3), 3);
    EXPECT_EQ(simBoard_EepromData()[0x0FFF], 0x5A);
    pa_i2c_Close(fd);
}

TEST_F(SeamTest, ScenarioFilesAndSettingsAreCheckedLineByLine)
{
    char err[256] = "";
    std::string good = dir.File("good.ini");
    ASSERT_TRUE(WriteTextFile(good, "# a board with a converter name only\n\nboard = none\n"
                                    "eeprom.name = Analog Front Module 4i\n"
                                    "eeprom.at.0x04 = 56 45 4c\n"
                                    "expander.present = no\nservice.le_gpioPin8 = unavailable\n"));
    ASSERT_TRUE(simBoard_LoadFile(good.c_str(), err, sizeof(err))) << err;
    EXPECT_EQ(memcmp(simBoard_EepromData() + 0x24, "Analog Front Module 4i", 23), 0);
    EXPECT_EQ(memcmp(simBoard_EepromData() + 4, "VEL", 3), 0);
    simBoard_Install();
    EXPECT_FALSE(pa_service_IsAvailable("le_gpioPin8"));
    EXPECT_EQ(le_gpioPin8_TryConnectService(), LE_UNAVAILABLE);

    std::string bad = dir.File("bad.ini");
    ASSERT_TRUE(WriteTextFile(bad, "board = gateway\nexpander.present = perhaps\n"));
    EXPECT_FALSE(simBoard_LoadFile(bad.c_str(), err, sizeof(err)));
    EXPECT_NE(std::string(err).find("bad.ini:2:"), std::string::npos) << err;
    ASSERT_TRUE(WriteTextFile(bad, "no equals sign here\n"));
    EXPECT_FALSE(simBoard_LoadFile(bad.c_str(), err, sizeof(err)));
    EXPECT_NE(std::string(err).find(":1: expected key = value"), std::string::npos) << err;
    EXPECT_FALSE(simBoard_LoadFile(dir.File("missing.ini").c_str(), err, sizeof(err)));
    EXPECT_FALSE(simBoard_LoadPreset("toaster", err, sizeof(err)));
    EXPECT_NE(std::string(err).find("gateway"), std::string::npos);
    EXPECT_FALSE(simBoard_Set("eeprom.at.4096", "00", err, sizeof(err)));
    EXPECT_FALSE(simBoard_Set("eeprom.at.4095", "00 01", err, sizeof(err)));   // runs off the end
    EXPECT_FALSE(simBoard_Set("eeprom.at.0", "1FF", err, sizeof(err)));
    EXPECT_FALSE(simBoard_Set("colour", "blue", err, sizeof(err)));
}

//--------------------------------------------------------------------------------------------------
// GPIO
//--------------------------------------------------------------------------------------------------
namespace
{
std::atomic<int> Changes{0};
bool LastState = false;
void OnChange(bool state, void*)
{
    Changes++;
    LastState = state;
}
}

TEST_F(SeamTest, GpioOutputsAreRecordedAndInputsRaiseEventsOnTheLoop)
{
    ASSERT_EQ(le_gpioPin42_TryConnectService(), LE_OK);
    ASSERT_EQ(le_gpioPin42_SetPushPullOutput(LE_GPIO_ACTIVE_LOW, true), LE_OK);
    pa_gpioSim_State_t s;
    ASSERT_TRUE(pa_gpioSim_GetState(42, &s));
    EXPECT_TRUE(s.isOutput);
    EXPECT_FALSE(s.level);   // active-low and active: the line is low
    EXPECT_TRUE(le_gpioPin42_Read());
    EXPECT_EQ(le_gpioPin42_Deactivate(), LE_OK);
    ASSERT_TRUE(pa_gpioSim_GetState(42, &s));
    EXPECT_TRUE(s.level);
    EXPECT_EQ(s.writeCount, 2u);

    ASSERT_EQ(le_gpioPin13_SetInput(LE_GPIO_ACTIVE_HIGH), LE_OK);
    EXPECT_EQ(le_gpioPin13_Activate(), LE_FAULT);   // not an output
    Changes = 0;
    le_gpioPin13_ChangeEventHandlerRef_t h =
        le_gpioPin13_AddChangeEventHandler(LE_GPIO_EDGE_RISING, OnChange, nullptr, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(pa_gpioSim_SetInputLevel(13, true));
    ASSERT_TRUE(pa_gpioSim_SetInputLevel(13, false));   // falling: not asked for
    EXPECT_EQ(Changes.load(), 0);                        // events wait for the loop
    le_event_RunUntilIdle();
    EXPECT_EQ(Changes.load(), 1);
    EXPECT_TRUE(LastState);

    // An event queued before the handler was removed is dropped.
    ASSERT_TRUE(pa_gpioSim_SetInputLevel(13, true));
    le_gpioPin13_RemoveChangeEventHandler(h);
    le_event_RunUntilIdle();
    EXPECT_EQ(Changes.load(), 1);
    EXPECT_FALSE(pa_gpioSim_GetState(7, &s));
    EXPECT_FALSE(pa_gpioSim_SetInputLevel(7, true));
}

//--------------------------------------------------------------------------------------------------
// AT client on a pseudo-terminal with a modem thread
//--------------------------------------------------------------------------------------------------
namespace
{
// Answers each command line on the master side until "AT+QUIT".
void Modem(int master)
{
    std::string pending;
    char buf[256];
    for (;;)
    {
        ssize_t n = read(master, buf, sizeof(buf));
        if (n <= 0) return;
        pending.append(buf, static_cast<size_t>(n));
        size_t cr;
        while ((cr = pending.find('\r')) != std::string::npos)
        {
            std::string cmd = pending.substr(0, cr);
            pending.erase(0, cr + 1);
            std::string answer = cmd + "\r\r\n";   // the echo comes first
            if (cmd == "AT+CCLK?") answer += "+CCLK: \"26/12/06,22:10:00+04\"\r\n\r\nOK\r\n";
            else if (cmd == "AT+CSQ") answer += "+CSQ: 17,99\r\nnoise\r\n+CSQ: 18,99\r\nOK\r\n";
            else if (cmd == "AT+BROKEN") answer += "+CME ERROR: 10\r\n";
            else if (cmd == "AT+SILENT") answer = "";
            else if (cmd == "AT+QUIT") return;
            else answer += "ERROR\r\n";
            if (!answer.empty() && write(master, answer.data(), answer.size()) < 0) return;
        }
    }
}
}

TEST_F(SeamTest, AtClientExchangesCommandsWithAModem)
{
    le_clk_SetMode(LE_CLK_REAL);
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int fd = le_tty_Open(ptsname(master), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(le_tty_SetRaw(fd, 0, 0), LE_OK);
    std::thread modem(Modem, master);

    le_atClient_DeviceRef_t device = le_atClient_Start(fd);
    ASSERT_NE(device, nullptr);
    le_atClient_CmdRef_t cmd = le_atClient_Create();
    ASSERT_EQ(le_atClient_SetDevice(cmd, device), LE_OK);
    ASSERT_EQ(le_atClient_SetCommand(cmd, "AT+CCLK?"), LE_OK);
    ASSERT_EQ(le_atClient_SetIntermediateResponse(cmd, "+CCLK:"), LE_OK);
    ASSERT_EQ(le_atClient_SetFinalResponse(cmd, "OK"), LE_OK);
    ASSERT_EQ(le_atClient_SetTimeout(cmd, 3000), LE_OK);
    ASSERT_EQ(le_atClient_Send(cmd), LE_OK);
    char line[LE_ATCLIENT_RESPONSE_MAX];
    ASSERT_EQ(le_atClient_GetFirstIntermediateResponse(cmd, line, sizeof(line)), LE_OK);
    EXPECT_STREQ(line, "+CCLK: \"26/12/06,22:10:00+04\"");
    EXPECT_EQ(le_atClient_GetNextIntermediateResponse(cmd, line, sizeof(line)), LE_NOT_FOUND);
    ASSERT_EQ(le_atClient_GetFinalResponse(cmd, line, sizeof(line)), LE_OK);
    EXPECT_STREQ(line, "OK");
    char tiny[6];
    EXPECT_EQ(le_atClient_GetFirstIntermediateResponse(cmd, tiny, sizeof(tiny)), LE_OVERFLOW);
    le_atClient_Delete(cmd);

    // Only lines with the asked prefix are intermediate responses.
    cmd = le_atClient_Create();
    le_atClient_SetDevice(cmd, device);
    le_atClient_SetCommand(cmd, "AT+CSQ");
    le_atClient_SetIntermediateResponse(cmd, "+CSQ:");
    le_atClient_SetFinalResponse(cmd, "OK");
    le_atClient_SetTimeout(cmd, 3000);
    ASSERT_EQ(le_atClient_Send(cmd), LE_OK);
    ASSERT_EQ(le_atClient_GetFirstIntermediateResponse(cmd, line, sizeof(line)), LE_OK);
    EXPECT_STREQ(line, "+CSQ: 17,99");
    ASSERT_EQ(le_atClient_GetNextIntermediateResponse(cmd, line, sizeof(line)), LE_OK);
    EXPECT_STREQ(line, "+CSQ: 18,99");
    le_atClient_Delete(cmd);

    // Error answers end the exchange even when only "OK" was asked for.
    for (const char* failing : {"AT+BROKEN", "AT+NOSUCH"})
    {
        cmd = le_atClient_Create();
        le_atClient_SetDevice(cmd, device);
        le_atClient_SetCommand(cmd, failing);
        le_atClient_SetFinalResponse(cmd, "OK");
        le_atClient_SetTimeout(cmd, 3000);
        ASSERT_EQ(le_atClient_Send(cmd), LE_OK) << failing;
        ASSERT_EQ(le_atClient_GetFinalResponse(cmd, line, sizeof(line)), LE_OK);
        EXPECT_EQ(std::string(line).find("ERROR"), strcmp(failing, "AT+BROKEN") == 0 ? 5u : 0u) << line;
        le_atClient_Delete(cmd);
    }

    // No answer: time-out.
    cmd = le_atClient_Create();
    le_atClient_SetDevice(cmd, device);
    le_atClient_SetCommand(cmd, "AT+SILENT");
    le_atClient_SetFinalResponse(cmd, "OK");
    le_atClient_SetTimeout(cmd, 150);
    EXPECT_EQ(le_atClient_Send(cmd), LE_TIMEOUT);
    le_atClient_Delete(cmd);

    cmd = le_atClient_Create();
    le_atClient_SetDevice(cmd, device);
    le_atClient_SetCommand(cmd, "AT+QUIT");
    le_atClient_SetTimeout(cmd, 50);
    le_atClient_Send(cmd);
    le_atClient_Delete(cmd);
    modem.join();

    EXPECT_EQ(le_atClient_Stop(device), LE_OK);
    cmd = le_atClient_Create();
    EXPECT_EQ(le_atClient_SetDevice(cmd, device), LE_BAD_PARAMETER);
    le_atClient_Delete(cmd);
    EXPECT_EQ(le_atClient_Start(-1), nullptr);
    std::string tooLong(LE_ATCLIENT_CMD_MAX_LEN + 1, 'A');
    cmd = le_atClient_Create();
    EXPECT_NE(le_atClient_SetCommand(cmd, tooLong.c_str()), LE_OK);
    le_atClient_Delete(cmd);
    le_tty_Close(fd);
    close(master);
}

//--------------------------------------------------------------------------------------------------
// RTC, power, app control, system commands
//--------------------------------------------------------------------------------------------------
TEST_F(SeamTest, RtcFollowsTheVirtualClock)
{
    uint64_t t0 = 0, t1 = 0;
    ASSERT_EQ(le_rtc_GetUserTime(&t0), LE_OK);
    EXPECT_GE(t0, 1767225600000u);   // 2026-01-01
    le_event_AdvanceMs(65000);
    ASSERT_EQ(le_rtc_GetUserTime(&t1), LE_OK);
    EXPECT_EQ(t1 - t0, 65000u);
    EXPECT_EQ(le_rtc_GetUserTime(nullptr), LE_BAD_PARAMETER);
}

TEST_F(SeamTest, WakeupSourcesAreHeldUntilRelaxed)
{
    le_pm_WakeupSourceRef_t ws = le_pm_NewWakeupSource(0, "UartKeepsAwake");
    ASSERT_NE(ws, nullptr);
    size_t before = pa_pm_GetAwakeCount();
    EXPECT_EQ(le_pm_StayAwake(ws), LE_OK);
    EXPECT_EQ(le_pm_StayAwake(ws), LE_OK);   // holding twice is one hold
    EXPECT_EQ(pa_pm_GetAwakeCount(), before + 1);
    EXPECT_EQ(le_pm_Relax(ws), LE_OK);
    EXPECT_EQ(pa_pm_GetAwakeCount(), before);
}

TEST_F(SeamTest, StoppingThisAppEndsTheLoopOthersAreOnlyRecorded)
{
    pa_appCtrl_SetOwnName("Veltrona");
    EXPECT_EQ(le_appCtrl_Stop("SomeoneElse"), LE_NOT_FOUND);
    EXPECT_FALSE(le_event_IsStopped());
    le_event_AdvanceMs(1234);
    EXPECT_EQ(le_appCtrl_Stop("Veltrona"), LE_OK);
    EXPECT_EQ(pa_appCtrl_GetLastStopTime(), le_clk_NowMs());
    EXPECT_STREQ(pa_appCtrl_GetLastStopped(), "Veltrona");
    EXPECT_EQ(pa_appCtrl_GetStopCount(), 2u);
    EXPECT_EQ(le_event_RunLoop(), 0);
    EXPECT_EQ(le_log_CaptureCount("Application 'Veltrona' is stopping"), 1u);
}

TEST_F(SeamTest, RebootIsRecordedNotRun)
{
    EXPECT_EQ(pa_system_Run("/sbin/reboot -f"), 0);
    EXPECT_EQ(pa_system_GetRunCount("/sbin/reboot -f"), 1u);
    EXPECT_EQ(pa_system_GetRunCount("/sbin/halt"), 0u);
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_WARN, "'/sbin/reboot -f'"), 1u);
    EXPECT_EQ(pa_system_Run(nullptr), -1);
}

//--------------------------------------------------------------------------------------------------
// Paths, files, text, log
//--------------------------------------------------------------------------------------------------
TEST_F(SeamTest, PathMappingTakesWholeComponentsAndTheLongestPrefix)
{
    ASSERT_EQ(pa_path_AddMapping("/mnt", "/srv/m"), LE_OK);
    ASSERT_EQ(pa_path_AddMapping("/mnt/userrw", "/tmp/u"), LE_OK);
    char out[PA_PATH_MAX];
    ASSERT_TRUE(pa_path_Map("/mnt/userrw/EnOcean.txt", out, sizeof(out)));
    EXPECT_STREQ(out, "/tmp/u/EnOcean.txt");
    ASSERT_TRUE(pa_path_Map("/mnt/userrw", out, sizeof(out)));
    EXPECT_STREQ(out, "/tmp/u");
    ASSERT_TRUE(pa_path_Map("/mnt/userrwx/a", out, sizeof(out)));
    EXPECT_STREQ(out, "/srv/m/userrwx/a");
    ASSERT_TRUE(pa_path_Map("/mntx", out, sizeof(out)));
    EXPECT_STREQ(out, "/mntx");
    ASSERT_EQ(pa_path_AddMapping("/", "/chroot/"), LE_OK);
    ASSERT_TRUE(pa_path_Map("/mntx", out, sizeof(out)));
    EXPECT_STREQ(out, "/chroot/mntx");
    ASSERT_TRUE(pa_path_Map("/mnt/a", out, sizeof(out)));
    EXPECT_STREQ(out, "/srv/m/a");
    char small[8];
    EXPECT_FALSE(pa_path_Map("/mnt/userrw/EnOcean.txt", small, sizeof(small)));
    std::string huge(PA_PATH_MAX + 10, 'x');
    EXPECT_EQ(pa_path_AddMapping("/dev", huge.c_str()), LE_OVERFLOW);

    ASSERT_TRUE(pa_path_Join("/a/", "b", out, sizeof(out)));
    EXPECT_STREQ(out, "/a/b");
    ASSERT_TRUE(pa_path_Join("/a", "b", out, sizeof(out)));
    EXPECT_STREQ(out, "/a/b");
    EXPECT_FALSE(pa_path_Join("/abc", "defgh", small, sizeof(small)));
}

TEST_F(SeamTest, AtomicWriteReplacesWholeFilesAndReportsFailure)
{
    ASSERT_EQ(pa_path_AddMapping("/mnt/userrw", dir.Path().c_str()), LE_OK);
    ASSERT_EQ(pa_fs_WriteFileAtomic("/mnt/userrw/EnOcean.txt", "E00000001\n", 10), LE_OK);
    ASSERT_EQ(pa_fs_WriteFileAtomic("/mnt/userrw/EnOcean.txt", "E00000002\n", 10), LE_OK);
    EXPECT_EQ(ReadTextFile(dir.File("EnOcean.txt")), "E00000002\n");
    EXPECT_EQ(pa_fs_WriteFileAtomic("/mnt/userrw/nodir/x.txt", "x", 1), LE_FAULT);
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_ERR, "Cannot write"), 1u);

    if (geteuid() != 0)   // root writes into read-only directories anyway
    {
        ASSERT_EQ(chmod(dir.Path().c_str(), 0500), 0);
        EXPECT_EQ(pa_fs_WriteFileAtomic("/mnt/userrw/EnOcean.txt", "lost", 4), LE_FAULT);
        ASSERT_EQ(chmod(dir.Path().c_str(), 0700), 0);
        EXPECT_EQ(ReadTextFile(dir.File("EnOcean.txt")), "E00000002\n");
    }
    // A directory in the way of the rename: the old content stays, no temporary is left.
    ASSERT_EQ(mkdir(dir.File("busy").c_str(), 0700), 0);
    ASSERT_TRUE(WriteTextFile(dir.File("busy/inner"), "keep"));
    EXPECT_EQ(pa_fs_WriteFileAtomic("/mnt/userrw/busy", "x", 1), LE_FAULT);
    EXPECT_EQ(ReadTextFile(dir.File("busy/inner")), "keep");
    std::string listing;
    RunCommand("ls -A '" + dir.Path() + "'", &listing);
    EXPECT_EQ(listing, "EnOcean.txt\nbusy\n");

    ASSERT_EQ(pa_fs_MakeDirs("/mnt/userrw/a/b/c"), LE_OK);
    struct stat st;
    ASSERT_EQ(stat(dir.File("a/b/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(pa_fs_MakeDirs("/mnt/userrw/EnOcean.txt/sub"), LE_FAULT);
    EXPECT_EQ(pa_fs_MakeDirs("/mnt/userrw/EnOcean.txt"), LE_FAULT);
}

TEST_F(SeamTest, BoundedCopiesNeverSplitACharacter)
{
    char buf[6];
    size_t n = 0;
    EXPECT_EQ(le_utf8_Copy(buf, "abc", sizeof(buf), &n), LE_OK);
    EXPECT_EQ(n, 3u);
    // "abcd" + a two-byte "é" is 6 bytes, one more than fits with the terminator.
    EXPECT_EQ(le_utf8_Copy(buf, "abcd\xC3\xA9", sizeof(buf), &n), LE_OVERFLOW);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(le_utf8_Copy(buf, "ab\xE2\x82\xAC!", sizeof(buf), nullptr), LE_OVERFLOW);
    EXPECT_STREQ(buf, "ab\xE2\x82\xAC");
    size_t len = 0;
    EXPECT_EQ(le_utf8_Copy(buf, "ab", sizeof(buf), &len), LE_OK);
    EXPECT_EQ(le_utf8_Append(buf, "cdef", sizeof(buf), &len), LE_OVERFLOW);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(le_utf8_CopyN(buf, "VELTRONA", 3, sizeof(buf)), LE_OK);
    EXPECT_STREQ(buf, "VEL");
    EXPECT_EQ(le_utf8_CopyN(buf, "VELTRONA", 8, sizeof(buf)), LE_OVERFLOW);
    EXPECT_STREQ(buf, "VELTR");
}

TEST_F(SeamTest, LogLinesCarryWhereTheyCameFromAndHonourTheFilter)
{
    le_log_Level_t* filter = nullptr;
    le_log_SessionRef_t s = le_log_RegComponent("Probe", &filter);
    ASSERT_NE(filter, nullptr);
    le_log_SetFilterLevel(s, LE_LOG_WARN);
    EXPECT_EQ(*filter, LE_LOG_WARN);
    _le_log_Send(LE_LOG_INFO, s, "probe.cpp", "Quiet", 10, "hidden %d", 1);
    _le_log_Send(LE_LOG_ERR, s, "probe.cpp", "Loud", 20, "shown %d", 2);
    EXPECT_EQ(le_log_CaptureCount("hidden"), 0u);
    ASSERT_EQ(le_log_CaptureCountAt(LE_LOG_ERR, "shown 2"), 1u);
    char line[512];
    ASSERT_TRUE(le_log_CaptureLine(static_cast<size_t>(le_log_CaptureFind("shown 2", 0)), line, sizeof(line)));
    std::string text(line);
    EXPECT_NE(text.find("=ERR="), std::string::npos) << text;
    EXPECT_NE(text.find("Probe"), std::string::npos) << text;
    EXPECT_NE(text.find("probe.cpp Loud() 20 | shown 2"), std::string::npos) << text;

    le_log_SetGlobalFilterLevel(LE_LOG_DEBUG);
    _le_log_Send(LE_LOG_DEBUG, s, "probe.cpp", "Chatty", 30, "now shown");
    le_log_SessionRef_t later = le_log_RegComponent("Later", nullptr);
    _le_log_Send(LE_LOG_DEBUG, later, "later.cpp", "Chatty", 31, "later shown");
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_DEBUG, "shown"), 2u);

    // A message longer than the line buffer is cut, not overrun.
    std::string longText(5000, 'z');
    _le_log_Send(LE_LOG_ERR, s, "probe.cpp", "Long", 40, "%s", longText.c_str());
    EXPECT_EQ(le_log_CaptureCount("zzzz"), 1u);
    le_log_Level_t parsed;
    EXPECT_TRUE(le_log_ParseLevel("WARNING", &parsed));
    EXPECT_EQ(parsed, LE_LOG_WARN);
    EXPECT_FALSE(le_log_ParseLevel("loud", &parsed));
}

TEST_F(SeamTest, TheLogFileHoldsEveryLineAndMovesAsideAtItsBound)
{
    std::string path = dir.File("veltrona.log");
    ASSERT_EQ(le_log_OpenFile(path.c_str(), 2000), LE_OK);
    le_log_SetConsoleLevel(LE_LOG_WARN);
    for (int i = 0; i < 60; i++)
    {
        LE_INFO("line %02d of the file, long enough to fill it in a few dozen lines", i);
        le_log_Flush();
    }
    LE_WARN("a warning");
    le_log_CloseFile();
    std::string current = ReadTextFile(path);
    std::string previous = ReadTextFile(path + ".1");
    EXPECT_LE(current.size(), 2000u);
    EXPECT_LE(previous.size(), 2000u);
    EXPECT_GT(previous.size(), 1500u);
    // The newest lines are in the file itself, the ones before them in .1, nothing older survives.
    EXPECT_NE(current.find("a warning"), std::string::npos);
    EXPECT_NE(current.find("line 59 of the file"), std::string::npos);
    EXPECT_EQ(previous.find("line 00 of the file"), std::string::npos);
    EXPECT_NE(current.find(" INFO | framework T=main | test_seams.cpp "), std::string::npos) << current;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(le_log_OpenFile(dir.File("no/such/dir/x.log").c_str(), 2000), LE_FAULT);
    EXPECT_EQ(le_log_OpenFile(path.c_str(), 0), LE_BAD_PARAMETER);
}

TEST_F(SeamTest, LogMessagesNeverCarryRawControlOrMalformedBytes)
{
    le_log_SessionRef_t s = le_log_RegComponent("Probe", nullptr);
    // An escape sequence, a line break, DEL, erased-flash bytes, a cut sequence; then real text.
    _le_log_Send(LE_LOG_INFO, s, "probe.cpp", "Raw", 1, "[%s]", "a\x1b[2Jb\nc\x7f\xff\xff\xc3");
    _le_log_Send(LE_LOG_INFO, s, "probe.cpp", "Raw", 2, "[%s]", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x93\xa1");
    char line[1200];
    ASSERT_TRUE(le_log_CaptureLine(le_log_CaptureSize() - 2, line, sizeof(line)));
    std::string escaped(line);
    EXPECT_NE(escaped.find("[a\\x1b[2Jb\\x0ac\\x7f\\xff\\xff\\xc3]"), std::string::npos) << escaped;
    for (char c : escaped) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) << escaped;
    ASSERT_TRUE(le_log_CaptureLine(le_log_CaptureSize() - 1, line, sizeof(line)));
    EXPECT_NE(std::string(line).find("[Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x93\xa1]"), std::string::npos)
        << line;

    EXPECT_EQ(le_utf8_CharLength("\xed\xa0\x80", 3), 0u);   // a surrogate
    EXPECT_EQ(le_utf8_CharLength("\xc0\xaf", 2), 0u);        // over-long '/'
    EXPECT_EQ(le_utf8_CharLength("\xe2\x82", 2), 0u);        // cut short
    EXPECT_EQ(le_utf8_CharLength("\xf4\x90\x80\x80", 4), 0u);   // above U+10FFFF
    EXPECT_EQ(le_utf8_CharLength("\xf4\x8f\xbf\xbf", 4), 4u);
}

TEST_F(SeamTest, StderrLinesAreBatchedUntilTheWriterWaits)
{
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK), 0);
    int savedStderr = dup(STDERR_FILENO);
    ASSERT_EQ(dup2(pipeFds[1], STDERR_FILENO), STDERR_FILENO);
    le_log_SetStderr(true);
    auto drain = [&] {
        std::string got;
        char buf[4096];
        ssize_t n;
        while ((n = read(pipeFds[0], buf, sizeof(buf))) > 0) got.append(buf, static_cast<size_t>(n));
        return got;
    };
    LE_INFO("first batched line");
    LE_INFO("second batched line");
    std::string early = drain();
    le_event_ServiceOnce(1);   // a loop about to wait writes what is pending
    std::string flushed = drain();
    LE_WARN("a warning goes out at once");
    std::string warning = drain();
    le_log_SetStderr(false);
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    close(pipeFds[0]);
    close(pipeFds[1]);

    EXPECT_EQ(early, "");
    EXPECT_NE(flushed.find("first batched line\n"), std::string::npos) << flushed;
    EXPECT_NE(flushed.find("second batched line\n"), std::string::npos) << flushed;
    EXPECT_NE(warning.find("a warning goes out at once\n"), std::string::npos) << warning;
}
