#include "BusProbe.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <vector>

namespace
{
const char* const RebootCommand = "/sbin/reboot -f";
// Lines of the record kept for whoever looks into it; only those within the window count.
const size_t RecordLinesKept = 32;

// The converter's looper thread probes the bus too.
std::mutex RebootMutex;
bool RequestedThisRun = false;   // a restart that returns has failed: asking again will not help
bool GivenUp = false;

std::vector<std::string> ReadRecord(void)
{
    std::vector<std::string> lines;
    FILE* f = pa_fs_Fopen(REBOOT_RECORD_PATH, "r");
    if (f == nullptr) return lines;
    char line[256];
    while (fgets(line, sizeof(line), f) != nullptr)
    {
        size_t n = strcspn(line, "\n");
        line[n] = '\0';
        if (n > 0) lines.emplace_back(line);
    }
    fclose(f);
    return lines;
}

// Restarts recorded within the window. A time ahead of now (a clock set back by the restart)
// counts as recent, so a wrong clock cannot open the way to a restart loop.
unsigned RecentRestarts(const std::vector<std::string>& lines, uint64_t nowS)
{
    unsigned recent = 0;
    for (const std::string& line : lines)
    {
        uint64_t at = 0;
        if (sscanf(line.c_str(), "%" SCNu64, &at) != 1) continue;
        if (at > nowS || nowS - at < REBOOT_WINDOW_S) recent++;
    }
    return recent;
}

void GiveUp(const char* why)
{
    GivenUp = true;
    LE_INFO("I2C bus given up (%s): no restart; the rest of the gateway keeps running", why);
}
}

void RebootModule(const char* reason)
{
    std::lock_guard<std::mutex> lock(RebootMutex);
    if (RequestedThisRun || GivenUp) return;
    const uint64_t nowS = le_clk_EpochMs() / 1000;
    std::vector<std::string> lines = ReadRecord();
    unsigned recent = RecentRestarts(lines, nowS);
    if (recent >= REBOOT_LIMIT)
    {
        char why[96];
        snprintf(why, sizeof(why), "%u restarts within %d s did not bring it back", recent, REBOOT_WINDOW_S);
        GiveUp(why);
        return;
    }
    char entry[160];
    snprintf(entry, sizeof(entry), "%" PRIu64 " %s", nowS, reason ? reason : "");
    lines.emplace_back(entry);
    if (lines.size() > RecordLinesKept) lines.erase(lines.begin(), lines.end() - RecordLinesKept);
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    if (pa_fs_WriteFileAtomic(REBOOT_RECORD_PATH, text.data(), text.size()) != LE_OK)
    {
        // Unrecorded restarts could not be counted, and would repeat for ever.
        GiveUp("the restart cannot be recorded in " REBOOT_RECORD_PATH);
        return;
    }
    RequestedThisRun = true;
    pa_system_Run(RebootCommand);
}

void ProbeBus(int fd, uint8_t* byteBuf)
{
    if (pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, BUS_PROBE_ADDRESS) < 0)
    {
        LE_INFO("I2C BUS not presented");
        RebootModule("I2C BUS not presented");
        return;
    }
    if (pa_i2c_Read(fd, byteBuf, 1) == 1)
    {
        LE_INFO("I2C BUS OK.");
    }
    else
    {
        LE_INFO("I2C Address Error");
        RebootModule("I2C Address Error");
    }
}

bool BusAnswers(const char* path)
{
    if (path == nullptr || path[0] == '\0')
    {
        LE_INFO("Bus refused: no device path given");
        return false;
    }
    int fd = pa_i2c_Open(path, O_RDWR);
    if (fd < 0)
    {
        LE_INFO("Bus %s refused: it cannot be opened (%s)", path, strerror(errno));
        return false;
    }
    uint8_t byte = 0;
    bool answers = pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, BUS_PROBE_ADDRESS) >= 0 && pa_i2c_Read(fd, &byte, 1) == 1;
    pa_i2c_Close(fd);
    if (!answers) LE_INFO("Bus %s refused: its probe slave 0x%02X does not answer", path, BUS_PROBE_ADDRESS);
    return answers;
}
