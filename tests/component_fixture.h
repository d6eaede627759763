// A fresh component on the simulated board and the virtual clock, for scenario tests.
#pragma once

#include "VeltronaComponent.h"
#include "datahub_admin.h"
#include "le_appCtrl.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "le_msg.h"
#include "pa_i2c.h"
#include "pa_path.h"
#include "sim_board.h"
#include "sim_pty.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

class ComponentTest : public ::testing::Test
{
protected:
    TempDir dir;
    uint64_t startMs = 0;

    void SetUp() override;
    void TearDown() override;

    // Loads a preset, applies the settings, and runs the initialiser and start-up to the end of
    // the 10-second wait.
    void Boot(const char* preset, const std::vector<std::pair<std::string, std::string>>& settings = {});

    // An admin push that must be taken, and the loop served until idle.
    void Push(const char* path, const char* value);
    bool HasResource(const char* path);
    // Current value of a resource as text ("" when it has none or does not exist).
    std::string Value(const char* path);
    // Captured lines that contain both texts.
    size_t CountLinesWith(const char* a, const char* b);
    // Captured lines whose message is exactly the text.
    size_t CountMessages(const char* message);
};

// A component whose serial port (devicePath) is the slave side of a pseudo-terminal; the test
// plays the device on the master side.
class PortTest : public ComponentTest
{
protected:
    typedef std::vector<uint8_t> Bytes;

    explicit PortTest(const char* devicePath) : devicePath_(devicePath) {}

    SimPty pty;   // the test writes and reads pty.master
    Bytes sent;   // what the component wrote to the port

    void SetUp() override;
    void TearDown() override;

    void Feed(const Bytes& bytes);
    // Adds what the component wrote since the last call to sent.
    void Collect();
    // Lets the pty carry what was written, then serves whatever is ready.
    void Settle();

    // Serves the loop without moving the virtual clock until the condition holds (2 s real at most).
    template <typename Pred>
    bool Pump(Pred done)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < end)
        {
            Collect();
            if (done()) return true;
            le_event_ServiceOnce(5);
        }
        Collect();
        return done();
    }

private:
    const char* devicePath_;
};
