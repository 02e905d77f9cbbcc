// Shared test fixture: a fresh process state, the emulated device on the
// virtual clock, a call trace kept in memory, a recorder for the window
// operations, captured standard output, and a scratch working directory.
#pragma once

#include <gmock/gmock.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/progress.h"
#include "sim/device.h"

// One recorded window operation, as text: "title  QVM7316 - 1%", "bar 1",
// "colour 0x00C800", "font 303 success", "text 303 ...", "enable 301 0",
// "message 16 Programming failed".
std::vector<std::string>& WindowEvents();
const WindowOps* RecordingWindowOps(bool barExists = true);

struct TraceLine {
    std::uint64_t ms;
    std::string call;  // "FT_Write"
    std::string rest;  // everything after the call name
};

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Sets up the emulated device from scenario text (defaults otherwise).
    void Start(const std::string& scenarioText = "");
    sim::Device& Device() { return sim::TheDevice(); }

    // Standard output since SetUp or the previous call.
    std::string Output();
    std::vector<TraceLine> Trace();
    // Every FT_Write as "<ms> <hex bytes>", in order.
    std::vector<std::string> Writes();
    // Writes a file into the scratch working directory.
    void WriteFile(const std::string& name, const std::string& content);
    std::string ReadFile(const std::string& name);
    std::filesystem::path Dir() const { return dir_; }

  private:
    std::FILE* trace_ = nullptr;
    bool capturing_ = false;
    std::string everything_;  // all captured output, shown when a test fails
    std::filesystem::path dir_;
    std::filesystem::path previousDir_;
};

// Bytes as upper-case hex pairs, as in the trace.
std::string Hex(const std::string& bytes);
