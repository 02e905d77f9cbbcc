// Shared test fixture: a fresh process state, the emulated device on the
// virtual clock, a call trace, a recorder for the display, the log kept in
// a buffer, and a working folder of the test's own.
#pragma once

#include <gmock/gmock.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/device.h"
#include "update/progress.h"

// What the display was told, as text: "started", "progress 42  QVM7316 - 42%",
// "ended 28 Programming failed".
std::vector<std::string>& DisplayEvents();
// The progress values the display showed, in order.
std::vector<int> ShownValues();
// A display that records; `ready` false: nothing to show progress on yet.
const DisplayOps* RecordingDisplay(bool ready = true);

// What the recording display was told of the time left, with the moment on
// the program's clock.
struct TimeLeftReport {
    std::uint64_t at;
    std::string stage;
    std::uint64_t msLeft;
};
std::vector<TimeLeftReport>& TimeLeftReports();

struct TraceLine {
    std::uint64_t ms;
    std::string call;  // "FT_Write"
    std::string rest;  // everything after the call name
};

// A folder of the test's own in the temporary folder (a unique name, so
// that tests running at the same time never share a file); removed at the
// end unless the test failed.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    const std::filesystem::path& Path() const { return path_; }
    void Keep() { keep_ = true; }

  private:
    std::filesystem::path path_;
    bool keep_ = false;
};

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Sets up the emulated device from scenario text (defaults otherwise).
    void Start(const std::string& scenarioText = "");
    // Talks to `backend` instead of the emulated device, traced as it is.
    void UseBackend(const D2xxOps* backend);
    sim::Device& Device() { return sim::TheDevice(); }

    // The log since SetUp or the previous call.
    std::string Output();
    // The trace's call lines, without its comment lines.
    std::vector<TraceLine> Trace();
    // Every FT_Write as "<ms> <hex bytes>", in order.
    std::vector<std::string> Writes();
    // Copies the sample images of samples/ into the working folder.
    void CopySamples();
    // Writes a file into the working folder.
    void WriteFile(const std::string& name, const std::string& content);
    std::string ReadFile(const std::string& name);
    std::filesystem::path Dir() const { return scratch_->Path(); }

  private:
    std::unique_ptr<ScratchFolder> scratch_;
    std::filesystem::path previousDir_;
    std::string log_;         // the log since the last Output()
    std::string everything_;  // the whole log, shown when a test fails
    bool tracing_ = false;
};

// Bytes as upper-case hex pairs, as in the trace.
std::string Hex(const std::string& bytes);

// How often `part` stands in `text`.
std::size_t Occurrences(const std::string& text, const std::string& part);

// Runs the console program with `args` (a shell command line's worth),
// standard input closed, and its output in `outputFile`; standard error
// too, unless `errorFile` names a file of its own.
struct ProgramRun {
    int exitCode;
    std::string output;  // standard output, and standard error without errorFile
};
ProgramRun RunConsole(const std::string& args, const std::filesystem::path& outputFile,
                      const std::filesystem::path& errorFile = {});
