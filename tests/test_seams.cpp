// The platform seams beneath the component: i2c, path mapping and files, bounded text, log
// filtering and the simulated board. (GPIO is met by the add-on tests, the AT client by the EnOcean
// tests' modem.)
#include "le_clock.h"
#include "le_event.h"
#include "le_gpio.h"
#include "le_log.h"
#include "le_utf8.h"
#include "pa_i2c.h"
#include "pa_path.h"
#include "pa_text.h"
#include "sim_board.h"
#include "sim_mcp23008.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
class SeamTest : public ::testing::Test
{
protected:
    TempDir dir;
    char err[256] = "";
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
    bool Set(const char* key, const char* value) { return simBoard_Set(key, value, err, sizeof(err)); }
    // Whether a board setting (live: on the running board) is refused with a message saying so much.
    bool Refused(bool live, const char* key, const char* value, const char* says = "")
    {
        bool set = live ? simBoard_SetLive(key, value, err, sizeof(err)) : Set(key, value);
        return !set && strstr(err, says) != nullptr;
    }
    std::string Get(const char* key)
    {
        char value[32] = "";
        EXPECT_TRUE(simBoard_Get(key, value, sizeof(value), err, sizeof(err))) << key << ": " << err;
        return value;
    }
};

// The errno of a failed transfer, 0 when it did not fail.
int Errno(ssize_t result)
{
    return result == -1 ? errno : 0;
}

// A descriptor on the bus with the slave at address selected.
int OpenAt(const char* bus, uint8_t address)
{
    int fd = pa_i2c_Open(bus, O_RDWR);
    EXPECT_GE(fd, 0) << bus;
    EXPECT_EQ(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, address), 0) << bus;
    return fd;
}

std::string CapturedLine(size_t index)
{
    char line[1200] = "";
    EXPECT_TRUE(le_log_CaptureLine(index, line, sizeof(line))) << index;
    return line;
}
}

// i2c and the simulated chips
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
    EXPECT_EQ(Errno(pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, 0x20)), ENOTTY);
    uint8_t buf[2];
    EXPECT_EQ(pa_i2c_Read(fd, buf, 2), 2);
    EXPECT_EQ(buf[1], 0x22);
    EXPECT_EQ(pa_i2c_Write(fd, "\x33", 1), 1);
    EXPECT_EQ(pa_i2c_Close(fd), 0);
    EXPECT_EQ(ReadTextFile(dir.File("dev/i2c-7")), "\x11\x22\x33");
    EXPECT_EQ(pa_i2c_Open("/dev/i2c-6", O_RDWR), -1);
}

TEST_F(SeamTest, SimulatedExpanderFollowsItsDatasheet)
{
    pa_i2cSim_AddBus("/dev/i2c-5");
    for (unsigned line = 0; line < 8; line++) simMcp23008_SetLine(line, true);
    simMcp23008_Attach("/dev/i2c-5", 0x21, nullptr);
    int fd = OpenAt("/dev/i2c-5", 0x21);
    auto write = [fd](std::vector<uint8_t> bytes) { return pa_i2c_Write(fd, bytes.data(), bytes.size()); };
    auto read = [fd](uint8_t reg) {
        uint8_t value = 0xEE;
        EXPECT_EQ(pa_i2c_Write(fd, &reg, 1), 1);
        EXPECT_EQ(pa_i2c_Read(fd, &value, 1), 1);
        return value;
    };
    // Power-on: all lines inputs, everything else clear; a sequential read runs on to GPIO.
    uint8_t regs[10];
    ASSERT_EQ(write({0x00}), 1);
    ASSERT_EQ(pa_i2c_Read(fd, regs, sizeof(regs)), 10);
    EXPECT_EQ(std::vector<uint8_t>(regs, regs + 10), (std::vector<uint8_t>{0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF}));
    // As the services set it: SEQOP and open-drain INT; lines 0 and 1 interrupt on change. The first
    // capture holds until INTCAP or GPIO is read, and a line that differs from it raises INT again.
    ASSERT_EQ(write({0x05, 0x24}), 2);
    ASSERT_EQ(write({0x02, 0x03}), 2);
    simMcp23008_SetLine(1, false);
    EXPECT_FALSE(simMcp23008_IntLevel());
    simMcp23008_SetLine(0, false);
    EXPECT_EQ(read(0x07), 0x02);
    EXPECT_EQ(read(0x08), 0xFD);
    EXPECT_EQ(read(0x07), 0x01);
    EXPECT_EQ(read(0x09), 0xFC);
    EXPECT_EQ(read(0x07), 0x00);
    EXPECT_TRUE(simMcp23008_IntLevel());
    simMcp23008_SetLine(5, false);   // not enabled
    EXPECT_TRUE(simMcp23008_IntLevel());
    // IPOL inverts inputs only; outputs drive their latch; writing GPIO writes OLAT.
    ASSERT_EQ(write({0x01, 0x0F}), 2);
    ASSERT_EQ(write({0x00, 0x0F}), 2);
    ASSERT_EQ(write({0x09, 0xA0}), 2);
    EXPECT_EQ(read(0x0A), 0xA0);
    EXPECT_TRUE(simMcp23008_Line(7));
    ASSERT_TRUE(simMcp23008_SetLine(2, false));
    ASSERT_TRUE(simMcp23008_SetLine(1, true));
    EXPECT_EQ(read(0x09), 0xA0 | 0x04 | 0x01);   // lines 1 and 3 high read 0; lines 0 and 2 low read 1
    pa_i2c_Close(fd);
    simMcp23008_Detach();
}

TEST_F(SeamTest, SimulatedAddOnSlotWiresTheExpanderToPin8AndOffersItsKeys)
{
    ASSERT_TRUE(simBoard_LoadPreset("addon", err, sizeof(err)));
    ASSERT_TRUE(Set("addon.board", "8i")) << err;
    ASSERT_TRUE(Set("addon.in3", "0")) << err;
    simBoard_Install();
    ASSERT_TRUE(simMcp23008_Attached());
    EXPECT_FALSE(simMcp23008_Line(2));
    int fd = OpenAt("/dev/i2c-5", 0x20);
    const uint8_t interruptOnAll[] = {0x02, 0xFF};
    ASSERT_EQ(pa_i2c_Write(fd, interruptOnAll, 2), 2);
    pa_i2c_Close(fd);
    EXPECT_EQ(Get("gpio.8"), "1");
    ASSERT_TRUE(simBoard_SetLive("addon.in1", "0", err, sizeof(err))) << err;
    EXPECT_EQ(Get("gpio.8"), "0");   // INT pulls the pin low
    EXPECT_EQ(Get("addon.in1"), "0");

    EXPECT_TRUE(Refused(true, "addon.out5", "1", "can be read, not set")) << err;
    EXPECT_TRUE(Refused(true, "addon.board", "4i4o"));
    EXPECT_TRUE(Refused(false, "gpio.7", "1", "gpio.42")) << err;
    EXPECT_TRUE(Refused(false, "addon.address", "0x68", "for a 8i board")) << err;   // its chip: 20h to 27h
    // The converter board's addresses run to 6Fh, which no expander board takes.
    ASSERT_TRUE(Set("addon.board", "none"));
    ASSERT_TRUE(Set("addon.address", "0x6F")) << err;
    EXPECT_TRUE(Refused(false, "addon.board", "4i4o"));
    EXPECT_TRUE(Set("addon.board", "uc2i")) << err;
}

// Paths, files, text, log
TEST_F(SeamTest, PathMappingTakesWholeComponentsAndTheLongestPrefix)
{
    auto map = [](const char* path, size_t size = PA_PATH_MAX) {
        char out[PA_PATH_MAX];
        return pa_path_Map(path, out, size) ? std::string(out) : std::string("(too long)");
    };
    ASSERT_EQ(pa_path_AddMapping("/mnt", "/srv/m"), LE_OK);
    ASSERT_EQ(pa_path_AddMapping("/mnt/userrw", "/tmp/u"), LE_OK);
    EXPECT_EQ(map("/mnt/userrw/EnOcean.txt"), "/tmp/u/EnOcean.txt");
    EXPECT_EQ(map("/mnt/userrwx/a"), "/srv/m/userrwx/a");
    EXPECT_EQ(map("/mntx"), "/mntx");
    EXPECT_EQ(map("/mnt/userrw/EnOcean.txt", 8), "(too long)");
    ASSERT_EQ(pa_path_AddMapping("/", "/chroot/"), LE_OK);
    EXPECT_EQ(map("/mntx"), "/chroot/mntx");
    EXPECT_EQ(pa_path_AddMapping("/dev", std::string(PA_PATH_MAX + 10, 'x').c_str()), LE_OVERFLOW);
    char out[PA_PATH_MAX];
    ASSERT_TRUE(pa_path_Join("/a/", "b", out, sizeof(out)));
    EXPECT_STREQ(out, "/a/b");
    EXPECT_FALSE(pa_path_Join("/abc", "defgh", out, 8));
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

TEST_F(SeamTest, BoundedCopiesNeverSplitACharacterNorPassMalformedOnes)
{
    char buf[6];
    size_t len = 0;
    // "abcd" + a two-byte "é" is 6 bytes, one more than fits with the terminator.
    EXPECT_EQ(le_utf8_Copy(buf, "abcd\xC3\xA9", sizeof(buf), &len), LE_OVERFLOW);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(le_utf8_Copy(buf, "ab\xE2\x82\xAC!", sizeof(buf), nullptr), LE_OVERFLOW);
    EXPECT_STREQ(buf, "ab\xE2\x82\xAC");
    EXPECT_EQ(le_utf8_Copy(buf, "ab", sizeof(buf), &len), LE_OK);
    EXPECT_EQ(le_utf8_Append(buf, "cdef", sizeof(buf), &len), LE_OVERFLOW);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(le_utf8_CopyN(buf, "VELTRONA", 8, sizeof(buf)), LE_OVERFLOW);
    EXPECT_STREQ(buf, "VELTR");
    // A surrogate, an over-long '/', a cut sequence, above U+10FFFF; then the largest code point.
    for (const char* bad : {"\xed\xa0\x80", "\xc0\xaf", "\xe2\x82", "\xf4\x90\x80\x80"})
    {
        EXPECT_EQ(le_utf8_CharLength(bad, strlen(bad)), 0u) << strlen(bad);
    }
    EXPECT_EQ(le_utf8_CharLength("\xf4\x8f\xbf\xbf", 4), 4u);
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
    std::string text = CapturedLine(static_cast<size_t>(le_log_CaptureFind("shown 2", 0)));
    for (const char* part : {"=ERR=", "Probe", "probe.cpp Loud() 20 | shown 2"})
    {
        EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
    }
    le_log_SetGlobalFilterLevel(LE_LOG_DEBUG);
    _le_log_Send(LE_LOG_DEBUG, s, "probe.cpp", "Chatty", 30, "now shown");
    EXPECT_EQ(le_log_CaptureCountAt(LE_LOG_DEBUG, "now shown"), 1u);
    // A message longer than the line buffer is cut, not overrun. An escape sequence, a line break,
    // DEL, erased-flash bytes and a cut sequence are escaped; real text is not.
    _le_log_Send(LE_LOG_ERR, s, "probe.cpp", "Long", 40, "%s", std::string(5000, 'z').c_str());
    EXPECT_EQ(le_log_CaptureCount("zzzz"), 1u);
    _le_log_Send(LE_LOG_INFO, s, "probe.cpp", "Raw", 1, "[%s]", "a\x1b[2Jb\nc\x7f\xff\xff\xc3");
    _le_log_Send(LE_LOG_INFO, s, "probe.cpp", "Raw", 2, "[%s]", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x93\xa1");
    std::string escaped = CapturedLine(le_log_CaptureSize() - 2);
    EXPECT_NE(escaped.find("[a\\x1b[2Jb\\x0ac\\x7f\\xff\\xff\\xc3]"), std::string::npos) << escaped;
    for (char c : escaped) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) << escaped;
    std::string real = CapturedLine(le_log_CaptureSize() - 1);
    EXPECT_NE(real.find("[Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x93\xa1]"), std::string::npos) << real;
}

// As syslog does: a line repeated in a row is written once, then its count; the capture gets all.
TEST_F(SeamTest, ARepeatedLineIsWrittenOnceWithItsCountAndEveryLineIsDated)
{
    std::string path = dir.File("veltrona.log");
    ASSERT_EQ(le_log_OpenFile(path.c_str(), 1 << 20), LE_OK);
    for (int i = 0; i < 812; i++) LE_INFO("I2C BUS OK.");
    LE_INFO("Results 300 + 400 = 350");
    LE_INFO("I2C BUS OK.");
    le_log_CloseFile();
    std::vector<std::string> lines = pa_text_Split(ReadTextFile(path), '\n');
    ASSERT_EQ(lines.size(), 5u) << ReadTextFile(path);   // the last is empty
    EXPECT_NE(lines[1].find("| last message repeated 811 times"), std::string::npos) << lines[1];
    EXPECT_NE(lines[3].find("| I2C BUS OK."), std::string::npos) << lines[3];
    EXPECT_EQ(le_log_CaptureCount("I2C BUS OK."), 813u);
    int year, month, day, h, m, s, ms, zone;
    EXPECT_EQ(sscanf(lines[0].c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d %5d INFO | ", &year, &month, &day, &h, &m, &s, &ms,
                     &zone), 8) << lines[0];
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
