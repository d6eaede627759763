// The cloud link's outbox: order, bounds, acknowledgements, and a file that survives crashes.
#include "cloud_outbox.h"
#include "le_log.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
class OutboxTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        le_log_SetStderr(false);
        le_log_CaptureStart();
    }
    TempDir dir_;
    std::string File() const { return dir_.File("outbox.txt"); }

    static std::vector<std::string> Values(const CloudOutbox& box)
    {
        std::vector<std::string> out;
        for (const cloudOutbox_Entry& e : box.Entries()) out.push_back((e.deleted ? "-" : "") + e.path + "=" + e.value);
        return out;
    }

    // Hands out everything and confirms it all, as a broker would.
    static void DeliverAll(CloudOutbox* box)
    {
        std::vector<uint64_t> seqs;
        while (cloudOutbox_Entry* e = box->NextToSend()) seqs.push_back(e->seq);
        for (uint64_t s : seqs) box->Acked(s);
    }
};
}

TEST_F(OutboxTest, ConfirmedValuesLeaveInOrderAndTheRestSurviveAResendAndARestart)
{
    {
        CloudOutbox box;
        ASSERT_EQ(box.Open(File().c_str(), 100, 1 << 20), LE_OK);
        box.Add(false, "sensors/a/data", IO_DATA_TYPE_JSON, 1000.5, "{\"T\":1}\n\ttab\\");
        box.Add(false, "sensors/b/level", IO_DATA_TYPE_NUMERIC, 1000.75, "3.25");
        box.Add(true, "sensors/c/data", IO_DATA_TYPE_STRING, 0, "");
        box.Add(false, "sensors/d", IO_DATA_TYPE_TRIGGER, 1001, "");
        ASSERT_TRUE(box.Flush());
        std::vector<uint64_t> seqs;
        while (cloudOutbox_Entry* e = box.NextToSend()) seqs.push_back(e->seq);
        ASSERT_EQ(seqs.size(), 4u);
        // The second is confirmed, twice: nothing leaves until the first is confirmed.
        box.Acked(seqs[1]);
        box.Acked(seqs[1]);
        EXPECT_EQ(box.Depth(), 4u);
        EXPECT_EQ(box.InFlight(), 3u);
        // The connection went away: the unconfirmed go again, oldest first.
        box.ResendAll();
        std::vector<std::string> again;
        while (cloudOutbox_Entry* e = box.NextToSend()) again.push_back(e->path);
        EXPECT_EQ(again, (std::vector<std::string>{"sensors/a/data", "sensors/c/data", "sensors/d"}));
        box.Acked(seqs[0]);
        EXPECT_EQ(box.Depth(), 2u);
        ASSERT_TRUE(box.Flush());   // and the process ends without closing (a crash)
    }
    const std::string written = ReadTextFile(File());
    CloudOutbox again;
    ASSERT_EQ(again.Open(File().c_str(), 100, 1 << 20), LE_OK);
    EXPECT_EQ(Values(again), (std::vector<std::string>{"-sensors/c/data=", "sensors/d="}));
    ASSERT_TRUE(again.Flush());
    EXPECT_EQ(ReadTextFile(File()), written);   // what the file says already is not written again
    EXPECT_EQ(again.Entries()[1].type, IO_DATA_TYPE_TRIGGER);
    EXPECT_EQ(again.Entries()[1].timestamp, 1001);
    // New entries follow the old ones.
    again.Add(false, "x", IO_DATA_TYPE_NUMERIC, 2, "1");
    EXPECT_GT(again.Entries()[2].seq, again.Entries()[1].seq);
    DeliverAll(&again);
    EXPECT_EQ(again.Depth(), 0u);
    EXPECT_EQ(again.InFlight(), 0u);
    EXPECT_EQ(again.Bytes(), 0u);
    again.Close();

    // Escaped texts come back exactly.
    CloudOutbox third;
    ASSERT_EQ(third.Open(dir_.File("other.txt").c_str(), 10, 1 << 20), LE_OK);
    third.Add(false, "p\tq", IO_DATA_TYPE_STRING, 5, "line\nnext\r\\end");
    third.Close();
    ASSERT_EQ(third.Open(dir_.File("other.txt").c_str(), 10, 1 << 20), LE_OK);
    EXPECT_EQ(Values(third), (std::vector<std::string>{"p\tq=line\nnext\r\\end"}));
}

TEST_F(OutboxTest, TheOldestGoFirstWhenCountOrBytesRunOutAndTheDropsAreCounted)
{
    CloudOutbox box;
    ASSERT_EQ(box.Open(File().c_str(), 3, 1 << 20), LE_OK);
    for (int i = 1; i <= 5; i++) box.Add(false, "v", IO_DATA_TYPE_NUMERIC, i, std::to_string(i).c_str());
    EXPECT_EQ(Values(box), (std::vector<std::string>{"v=3", "v=4", "v=5"}));
    EXPECT_EQ(box.Dropped(), 2u);
    box.Close();
    // The bound holds across a restart with smaller bounds too: by bytes this time.
    CloudOutbox smaller;
    size_t oneRecord = cloudOutbox_Record(cloudOutbox_Entry{4, false, IO_DATA_TYPE_NUMERIC, 4, "v", "4"}).size();
    ASSERT_EQ(smaller.Open(File().c_str(), 100, 2 * oneRecord), LE_OK);
    EXPECT_EQ(Values(smaller), (std::vector<std::string>{"v=4", "v=5"}));
    EXPECT_EQ(smaller.Dropped(), 1u);
    EXPECT_LE(smaller.Bytes(), 2 * oneRecord);
    smaller.Add(false, "v", IO_DATA_TYPE_NUMERIC, 6, "6");
    EXPECT_EQ(Values(smaller), (std::vector<std::string>{"v=5", "v=6"}));
    EXPECT_EQ(smaller.Dropped(), 2u);

    // An in-flight value that is dropped no longer counts as in flight.
    ASSERT_NE(smaller.NextToSend(), nullptr);
    EXPECT_EQ(smaller.InFlight(), 1u);
    smaller.Add(false, "v", IO_DATA_TYPE_NUMERIC, 7, "7");
    smaller.Add(false, "v", IO_DATA_TYPE_NUMERIC, 8, "8");
    EXPECT_EQ(smaller.InFlight(), 0u);
    EXPECT_EQ(smaller.NextToSend()->value, "7");
}

TEST_F(OutboxTest, ACutOrDamagedRecordIsLeftOutOnItsOwn)
{
    auto record = [](uint64_t seq, const char* path, const char* value) {
        return cloudOutbox_Record(cloudOutbox_Entry{seq, false, IO_DATA_TYPE_NUMERIC, 1, path, value});
    };
    const std::string a = record(1, "a", "1"), b = record(2, "b", "2"), c = record(3, "c", "3");
    auto sealed = [](const std::string& body) {   // a line whose checksum is right, whatever it says
        char crc[16];
        snprintf(crc, sizeof(crc), "\t%08x\n", cloudOutbox_Crc32(body.data(), body.size()));
        return body + crc;
    };
    auto flipped = [](std::string r) {
        r[r.size() / 2] ^= 0x01;   // one bit of the value changed on the way to the disk
        return r;
    };
    struct Case
    {
        std::string content;
        std::vector<std::string> kept;
        bool damaged;   // kept aside, as opposed to cut short by a crash
    };
    std::vector<Case> cases = {
        {flipped(a) + b + c, {"b=2", "c=3"}, true},
        {a + flipped(b) + c, {"a=1", "c=3"}, true},
        {a + b + flipped(c), {"a=1", "b=2"}, true},
        {a + record(9, "late", "9") + record(5, "back", "5") + c, {"a=1", "late=9"}, true},   // out of order
        {a + sealed("D\t") + b, {"a=1", "b=2"}, true},   // a gone mark without its number
    };
    // Every way the last record can be cut short by a crash.
    for (size_t cut = 1; cut < c.size(); cut++) cases.push_back({a + b + c.substr(0, cut), {"a=1", "b=2"}, false});
    for (const Case& k : cases)
    {
        unlink(dir_.File("outbox.txt.damaged").c_str());
        ASSERT_TRUE(WriteTextFile(File(), k.content));
        CloudOutbox box;
        ASSERT_EQ(box.Open(File().c_str(), 100, 1 << 20), LE_OK);
        EXPECT_EQ(Values(box), k.kept) << k.content;
        EXPECT_GE(box.Dropped(), 1u) << k.content;
        EXPECT_EQ(ReadTextFile(dir_.File("outbox.txt.damaged")), k.damaged ? k.content : "") << k.content;
        // What follows is appended after the good records, never after the damage.
        box.Add(false, "d", IO_DATA_TYPE_NUMERIC, 4, "4");
        box.Close();
        CloudOutbox reread;
        ASSERT_EQ(reread.Open(File().c_str(), 100, 1 << 20), LE_OK);
        std::vector<std::string> expected = k.kept;
        expected.push_back("d=4");
        EXPECT_EQ(Values(reread), expected) << k.content;
        EXPECT_EQ(reread.Dropped(), 0u);
    }
    EXPECT_GT(le_log_CaptureCount("damaged records (line 2) among 2 sound ones"), 0u);
    EXPECT_GT(le_log_CaptureCount("ended in a record cut short"), 0u);
}

TEST_F(OutboxTest, BoundsHoldWhileReadingAndNumbersNeverWrap)
{
    std::string content;
    for (uint64_t seq = 1; seq <= 5000; seq++)
        content += cloudOutbox_Record(cloudOutbox_Entry{seq, false, IO_DATA_TYPE_NUMERIC, 1, "v", std::to_string(seq)});
    ASSERT_TRUE(WriteTextFile(File(), content));
    {
        CloudOutbox box;
        ASSERT_EQ(box.Open(File().c_str(), 10, 1 << 20), LE_OK);
        EXPECT_EQ(box.Depth(), 10u);
        EXPECT_EQ(box.Dropped(), 4990u);
        EXPECT_EQ(box.Entries().front().value, "4991");
    }
    // A record numbered at the very top: what comes after it still comes after it, also on reading.
    ASSERT_TRUE(WriteTextFile(File(), cloudOutbox_Record(cloudOutbox_Entry{UINT64_MAX, false, IO_DATA_TYPE_NUMERIC, 1,
                                                                           "top", "1"})));
    {
        CloudOutbox box;
        ASSERT_EQ(box.Open(File().c_str(), 10, 1 << 20), LE_OK);
        box.Add(false, "next", IO_DATA_TYPE_NUMERIC, 2, "2");
        ASSERT_EQ(box.Depth(), 2u);
        EXPECT_LT(box.Entries()[0].seq, box.Entries()[1].seq);
    }
    CloudOutbox again;
    ASSERT_EQ(again.Open(File().c_str(), 10, 1 << 20), LE_OK);
    EXPECT_EQ(Values(again), (std::vector<std::string>{"top=1", "next=2"}));
}

TEST_F(OutboxTest, TheFileIsRewrittenWhenDeliveredRecordsFillIt)
{
    CloudOutbox box;
    ASSERT_EQ(box.Open(File().c_str(), 100000, 64 << 20), LE_OK);
    std::string value(200, 'x');
    for (int round = 0; round < 60; round++)
    {
        for (int i = 0; i < 100; i++) box.Add(false, "v", IO_DATA_TYPE_STRING, i, value.c_str());
        ASSERT_TRUE(box.Flush());
        DeliverAll(&box);
        ASSERT_TRUE(box.Flush());
    }
    // 6000 records of about 230 bytes went through; the file never held much more than 1 MiB.
    EXPECT_LT(box.FileBytes(), (1u << 20) + 100 * 300);
    struct stat st;
    ASSERT_EQ(stat(File().c_str(), &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), box.FileBytes());
    box.Add(false, "last", IO_DATA_TYPE_NUMERIC, 1, "1");
    box.Close();
    CloudOutbox again;
    ASSERT_EQ(again.Open(File().c_str(), 100, 1 << 20), LE_OK);
    EXPECT_EQ(Values(again), (std::vector<std::string>{"last=1"}));
}

TEST_F(OutboxTest, ADiskThatRefusesStopsNothingAndIsTriedAgainAfterAPause)
{
    // A place that cannot be read (its directory is a file): the outbox does not open.
    std::string notDir = dir_.File("plain");
    ASSERT_TRUE(WriteTextFile(notDir, "x"));
    CloudOutbox none;
    EXPECT_EQ(none.Open((notDir + "/outbox.txt").c_str(), 10, 1 << 20), LE_FAULT);

    {
        CloudOutbox box;
        ASSERT_EQ(box.Open(File().c_str(), 1000, 1 << 20), LE_OK);
        for (int i = 0; i < 1000; i++) box.Add(false, "a", IO_DATA_TYPE_NUMERIC, i, std::to_string(i).c_str());
        box.Close();
    }
    struct stat st;
    ASSERT_EQ(stat(File().c_str(), &st), 0);
    // A full disk (a file size limit where the file stands): the outbox opens without writing, and
    // an append that fails halfway is cut back to whole records.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit full = old;
    full.rlim_cur = static_cast<rlim_t>(st.st_size) + 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    CloudOutbox box;
    ASSERT_EQ(box.Open(File().c_str(), 2000, 1 << 20), LE_OK);
    EXPECT_EQ(box.Depth(), 1000u);
    box.Add(false, "b", IO_DATA_TYPE_NUMERIC, 2, "2");
    box.Add(false, "c", IO_DATA_TYPE_NUMERIC, 3, "3");
    EXPECT_FALSE(box.Flush());
    EXPECT_TRUE(box.FileBroken());
    struct stat after;
    ASSERT_EQ(stat(File().c_str(), &after), 0);
    EXPECT_EQ(after.st_size, st.st_size);   // no half record left behind
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    // Within the pause nothing is tried, however often the link asks.
    for (int i = 0; i < 100; i++) EXPECT_FALSE(box.Flush());
    usleep(1100 * 1000);
    EXPECT_TRUE(box.Flush());
    EXPECT_EQ(le_log_CaptureCount("it is kept in memory until it can be"), 1u);
    EXPECT_EQ(le_log_CaptureCount("is written again"), 1u);
    box.Close();
    CloudOutbox again;
    ASSERT_EQ(again.Open(File().c_str(), 2000, 1 << 20), LE_OK);
    EXPECT_EQ(again.Depth(), 1002u);
    EXPECT_EQ(Values(again).back(), "c=3");
}
