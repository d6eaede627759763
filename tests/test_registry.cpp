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
};
}

TEST_F(RegistryTest, LoadingSkipsBlankAndInvalidLinesAndStopsAt256)
{
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"),
                              "E00000001\n\nE00000002\nE0000000G\ne00000003\nE00000001\nE0000000300\n"
                              "E" + std::string(200, 'a') + "\nE00000004"));
    ReadSensors();
    EXPECT_STREQ(Sensor[0].id, "E00000001");
    EXPECT_STREQ(Sensor[1].id, "E00000002");
    EXPECT_STREQ(Sensor[2].id, "E00000004");   // the last line needs no line feed
    EXPECT_EQ(Sensor[3].id[0], '\0');
    for (unsigned line : {4u, 5u, 6u, 7u, 8u})
    {
        EXPECT_EQ(le_log_CaptureCount(("Skipped line " + std::to_string(line) + " of").c_str()), 1u) << line;
    }

    std::string many;
    for (unsigned i = 1; i <= 300; i++) many += Id(i) + "\n" + (i % 50 == 0 ? "\n" : "");
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), many));
    memset(Sensor, 0, sizeof(Sensor));
    ReadSensors();
    EXPECT_EQ(Sensor[0].id, Id(1));
    EXPECT_EQ(Sensor[255].id, Id(256));
}

TEST_F(RegistryTest, IdentifiersSurviveZeroBytesCrLfBlanksAndUpperCase)
{
    std::string file = std::string("E0000000a\r\n") + "E00" + std::string(1, '\0') + "00001\n" + "E000000B2\n" +
                       "  E000000c3 \t\n" + " \r\n" + "E0000000D\n" + "E000000d4" + std::string(1, '\0') + "\n";
    ASSERT_TRUE(WriteTextFile(dir.File("EnOcean.txt"), file));
    ReadSensors();
    EXPECT_STREQ(Sensor[0].id, "E0000000a");
    EXPECT_STREQ(Sensor[1].id, "E000000b2");   // the line after the zero byte is kept
    EXPECT_STREQ(Sensor[2].id, "E000000c3");
    EXPECT_STREQ(Sensor[3].id, "E0000000d");
    EXPECT_EQ(Sensor[4].id[0], '\0');
    EXPECT_EQ(le_log_CaptureCount("Skipped line 2 of /mnt/userrw/EnOcean.txt"), 1u);
    EXPECT_EQ(le_log_CaptureCount("Skipped line 7 of /mnt/userrw/EnOcean.txt"), 1u);
    EXPECT_EQ(le_log_CaptureCount("Skipped line"), 2u);
    // The next rewrite keeps every sensor, in the receiver's form.
    ASSERT_EQ(WriteSensor(nullptr), 1);
    EXPECT_EQ(Registry(), "E0000000a\nE000000b2\nE000000c3\nE0000000d\n");
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

TEST_F(RegistryTest, MissingFileLeavesTheTableAlone)
{
    strcpy(Sensor[0].id, "E00000009");
    ReadSensors();
    EXPECT_STREQ(Sensor[0].id, "E00000009");
    EXPECT_EQ(le_log_CaptureSize(), 0u);
}

TEST_F(RegistryTest, LearningFillsTheFirstFreeRecordAndBothFiles)
{
    for (unsigned i = 1; i <= 5; i++) ASSERT_EQ(WriteSensor(Id(i).c_str()), 1);
    std::string five;
    for (unsigned i = 1; i <= 5; i++) five += Id(i) + "\n";
    EXPECT_EQ(Registry(), five);
    EXPECT_EQ(History(), five);

    // Record 3 of 5 is freed; the next sensor takes it and its line comes last.
    Sensor[2].id[0] = '\0';
    ASSERT_EQ(WriteSensor(nullptr), 1);
    ASSERT_EQ(WriteSensor(Id(9).c_str()), 1);
    EXPECT_EQ(Sensor[2].id, Id(9));
    EXPECT_EQ(Registry(), Id(1) + "\n" + Id(2) + "\n" + Id(4) + "\n" + Id(5) + "\n" + Id(9) + "\n");

    // Learning a registered sensor changes no file and cancels its pending delete.
    Sensor[0].deleteTime = 12345;
    std::string before = Registry();
    EXPECT_EQ(WriteSensor(Id(1).c_str()), 0);
    EXPECT_EQ(Sensor[0].deleteTime, 0u);
    EXPECT_EQ(Registry(), before);

    // A sensor learned again after its deletion is not listed twice in the history.
    Sensor[1].id[0] = '\0';
    WriteSensor(nullptr);
    ASSERT_EQ(WriteSensor(Id(2).c_str()), 1);
    EXPECT_EQ(History(), five + Id(9) + "\n");
}

TEST_F(RegistryTest, FullTableStoresNothingButStillSaysNew)
{
    for (unsigned i = 0; i < SENSOR_COUNT; i++) strcpy(Sensor[i].id, Id(i + 1).c_str());
    ASSERT_EQ(WriteSensor(nullptr), 1);
    std::string full = Registry();
    EXPECT_EQ(full.size(), 256u * 10u);
    EXPECT_EQ(WriteSensor(Id(1000).c_str()), 1);
    EXPECT_EQ(Registry(), full);
    EXPECT_EQ(FindSensor(Id(1000).c_str()), -1);
    EXPECT_EQ(History(), "");
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
    std::string contentA, contentB;
    for (unsigned i = 0; i < SENSOR_COUNT; i++)
    {
        contentA += Id(i + 1) + "\n";
        contentB += Id(0x10000 + i) + "\n";
    }
    for (unsigned i = 0; i < SENSOR_COUNT; i++) strcpy(Sensor[i].id, Id(i + 1).c_str());
    ASSERT_EQ(WriteSensor(nullptr), 1);
    ASSERT_EQ(Registry(), contentA);

    std::mt19937 random(7);
    int kills = 0;
    for (int round = 0; round < 25; round++)
    {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
        {
            for (unsigned pass = 0;; pass++)
            {
                for (unsigned i = 0; i < SENSOR_COUNT; i++)
                {
                    strcpy(Sensor[i].id, Id(pass % 2 ? 0x10000 + i : i + 1).c_str());
                }
                WriteSensor(nullptr);
            }
        }
        usleep(1000 + random() % 20000);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        if (WIFSIGNALED(status)) kills++;
        std::string now = Registry();
        EXPECT_TRUE(now == contentA || now == contentB) << "round " << round << ": " << now.size() << " bytes";
    }
    EXPECT_EQ(kills, 25);
}
