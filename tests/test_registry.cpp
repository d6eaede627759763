// The sensor registry and history files.
#include "EnOcean.h"
#include "component_fixture.h"

#include <csignal>
#include <cstring>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
std::string Id(unsigned n)
{
    char id[16];
    snprintf(id, sizeof(id), "E%08x", n);
    return id;
}

// The file lines of count identifiers from first on.
std::string Lines(unsigned first, unsigned count)
{
    std::string s;
    for (unsigned i = first; i < first + count; i++) s += Id(i) + "\n";
    return s;
}

void FillTable(unsigned first)
{
    for (unsigned i = 0; i < SENSOR_COUNT; i++) strcpy(Sensor[i].id, Id(first + i).c_str());
}

class RegistryTest : public ComponentTest
{
protected:
    void SetUp() override
    {
        ComponentTest::SetUp();
        memset(Sensor, 0, sizeof(Sensor));
    }

    std::string Registry() { return ReadTextFile(dir.File("EnOcean.txt")); }
    std::string History() { return ReadTextFile(dir.File("EnOceanBackup.txt")); }
    // The identifiers of the table, up to its first free record.
    std::vector<std::string> Ids()
    {
        std::vector<std::string> ids;
        for (unsigned i = 0; i < SENSOR_COUNT && Sensor[i].id[0] != '\0'; i++) ids.push_back(Sensor[i].id);
        return ids;
    }
};
}

TEST_F(RegistryTest, LoadingKeepsEachNewIdentifierOnceInTheReceiversFormUpTo256)
{
    struct Row
    {
        std::string content;
        std::vector<std::string> ids;
        std::vector<unsigned> skipped;   // the lines said to be skipped
    };
    const Row rows[] = {
        // Blank, invalid, lower-case 'e', repeated and overlong lines; the last needs no line feed.
        {"E00000001\n\nE00000002\nE0000000G\ne00000003\nE00000001\nE0000000300\nE" + std::string(200, 'a') +
             "\nE00000004",
         {"E00000001", "E00000002", "E00000004"}, {4, 5, 6, 7, 8}},
        // CR LF, a zero byte (the line after it is kept), upper-case digits, blanks around.
        {std::string("E0000000a\r\nE00") + '\0' + "00001\nE000000B2\n  E000000c3 \t\n \r\nE0000000D\nE000000d4" + '\0' +
             "\n",
         {"E0000000a", "E000000b2", "E000000c3", "E0000000d"}, {2, 7}},
    };
    for (const Row& row : rows)
    {
        memset(Sensor, 0, sizeof(Sensor));
        ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), row.content));
        le_log_CaptureStart();   // afresh for each file
        ReadSensors();
        EXPECT_EQ(Ids(), row.ids) << row.content;
        EXPECT_EQ(le_log_CaptureCount("Skipped line"), row.skipped.size()) << row.content;
        for (unsigned n : row.skipped)
        {
            std::string said = "Skipped line " + std::to_string(n) + " of /mnt/userrw/EnOcean.txt";
            EXPECT_EQ(le_log_CaptureCount(said.c_str()), 1u) << said;
        }
    }
    // The next rewrite keeps every sensor, in the receiver's form.
    ASSERT_EQ(WriteSensor(nullptr), 1);
    EXPECT_EQ(Registry(), "E0000000a\nE000000b2\nE000000c3\nE0000000d\n");

    // 300 identifiers, a blank line every 50: the first 256 are taken.
    std::string many = Lines(1, 50) + "\n" + Lines(51, 250);
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), many));
    memset(Sensor, 0, sizeof(Sensor));
    ReadSensors();
    EXPECT_EQ(Ids().size(), 256u);
    EXPECT_EQ(Ids().back(), Id(256));

    // No file: the table is left alone and nothing is said.
    ASSERT_EQ(unlink(dir.File("EnOcean.txt").c_str()), 0);
    le_log_CaptureStart();
    ReadSensors();
    EXPECT_EQ(Ids().size(), 256u);
    EXPECT_EQ(le_log_CaptureSize(), 0u);
}

TEST_F(RegistryTest, HistoryInAnotherFormStillCountsAndNewFilesArePrivate)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOceanBackup.txt"), "E000000AB\r\n"));
    ASSERT_EQ(WriteSensor("E000000ab"), 1);
    EXPECT_EQ(History(), "E000000AB\r\n");
    ASSERT_EQ(unlink(dir.File("EnOceanBackup.txt").c_str()), 0);
    ASSERT_EQ(WriteSensor("E000000cd"), 1);
    EXPECT_EQ(History(), "E000000cd\n");
    struct stat st;
    for (const char* name : {"EnOcean.txt", "EnOceanBackup.txt"})
    {
        ASSERT_EQ(stat(dir.File(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
}

TEST_F(RegistryTest, LearningFillsTheFirstFreeRecordAndBothFiles)
{
    for (unsigned i = 1; i <= 5; i++) ASSERT_EQ(WriteSensor(Id(i).c_str()), 1);
    EXPECT_EQ(Registry(), Lines(1, 5));
    EXPECT_EQ(History(), Lines(1, 5));

    // Record 3 of 5 is freed; the next sensor takes it and its line comes last.
    Sensor[2].id[0] = '\0';
    ASSERT_EQ(WriteSensor(nullptr), 1);
    ASSERT_EQ(WriteSensor(Id(9).c_str()), 1);
    EXPECT_EQ(Sensor[2].id, Id(9));
    EXPECT_EQ(Registry(), Lines(1, 2) + Lines(4, 2) + Lines(9, 1));

    // Learning a registered sensor changes no file and cancels its pending delete.
    Sensor[0].deleteTime = 12345;
    EXPECT_EQ(WriteSensor(Id(1).c_str()), 0);
    EXPECT_EQ(Sensor[0].deleteTime, 0u);
    EXPECT_EQ(Registry(), Lines(1, 2) + Lines(4, 2) + Lines(9, 1));

    // A sensor learned again after its deletion is not listed twice in the history.
    Sensor[1].id[0] = '\0';
    WriteSensor(nullptr);
    ASSERT_EQ(WriteSensor(Id(2).c_str()), 1);
    EXPECT_EQ(History(), Lines(1, 5) + Lines(9, 1));
}

TEST_F(RegistryTest, WriteFailuresAreLoggedAndTheTableChangeKept)
{
    // Directories stand where the files should be: neither can be written, even by root.
    ASSERT_EQ(mkdir(dir.File("EnOcean.txt").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.File("EnOceanBackup.txt").c_str(), 0700), 0);
    EXPECT_EQ(WriteSensor(Id(7).c_str()), 1);
    EXPECT_EQ(FindSensor(Id(7).c_str()), 0);
    EXPECT_EQ(le_log_CaptureCount("Cannot rewrite /mnt/userrw/EnOcean.txt"), 1u);
    EXPECT_EQ(le_log_CaptureCount("Cannot append to /mnt/userrw/EnOceanBackup.txt"), 1u);
}

TEST_F(RegistryTest, AWriterKilledMidWriteLeavesTheOldOrTheNewFile)
{
    // Two full tables that the writer alternates between; each rewrite is 2,560 bytes.
    FillTable(1);
    ASSERT_EQ(WriteSensor(nullptr), 1);
    ASSERT_EQ(Registry(), Lines(1, SENSOR_COUNT));
    std::mt19937 random(7);
    for (int round = 0; round < 25; round++)
    {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        for (unsigned pass = 0; child == 0; pass++)
        {
            FillTable(pass % 2 ? 0x10000 : 1);
            WriteSensor(nullptr);
        }
        usleep(1000 + random() % 20000);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << "round " << round;
        std::string now = Registry();
        EXPECT_TRUE(now == Lines(1, SENSOR_COUNT) || now == Lines(0x10000, SENSOR_COUNT))
            << "round " << round << ": " << now.size() << " bytes";
    }
}
