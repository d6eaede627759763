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
#include "test_support.h"

#include <gtest/gtest.h>

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

    bool HasResource(const char* path);
    // Current value of a resource as text ("" when it has none or does not exist).
    std::string Value(const char* path);
    // Captured lines that contain both texts.
    size_t CountLinesWith(const char* a, const char* b);
    // Captured lines whose message is exactly the text.
    size_t CountMessages(const char* message);
};
