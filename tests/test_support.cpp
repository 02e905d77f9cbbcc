#include "test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/clock.h"
#include "platform/d2xx_trace.h"
#include "platform/log.h"
#include "sim/scenario.h"
#include "update/process_state.h"

namespace {

std::vector<std::string> g_events;
std::vector<TimeLeftReport> g_timeLeft;
bool g_ready = true;

void RecStarted() { g_events.push_back("started"); }
bool RecProgress(int percent, const char* title) {
    if (!g_ready) return false;
    g_events.push_back("progress " + std::to_string(percent) + " " + title);
    return true;
}
void RecEnded(int status, const char* message, const char* reason) {
    g_events.push_back("ended " + std::to_string(status) + " " + message +
                       (*reason ? std::string(" | ") + reason : ""));
}
void RecTimeLeft(const char* stage, std::uint64_t msLeft) { g_timeLeft.push_back({NowMs(), stage, msLeft}); }
const DisplayOps kRecorder = {RecStarted, RecProgress, RecEnded, nullptr, RecTimeLeft};

std::string ReadWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::vector<std::string>& DisplayEvents() { return g_events; }
std::vector<TimeLeftReport>& TimeLeftReports() { return g_timeLeft; }

std::vector<int> ShownValues() {
    std::vector<int> values;
    for (const auto& e : g_events)
        if (e.rfind("progress ", 0) == 0) values.push_back(std::stoi(e.substr(9)));
    return values;
}

const DisplayOps* RecordingDisplay(bool ready) {
    g_ready = ready;
    return &kRecorder;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

ScratchFolder::ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qvm7316-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch folder");
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ec;
    if (!keep_) std::filesystem::remove_all(path_, ec);
}

ProgramRun RunConsole(const std::string& args, const std::filesystem::path& outputFile,
                      const std::filesystem::path& errorFile) {
    std::string errors = errorFile.empty() ? "2>&1" : "2>'" + errorFile.string() + "'";
    std::string command =
        std::string(QVM7316_CONSOLE_EXE) + " " + args + " >'" + outputFile.string() + "' " + errors + " </dev/null";
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWhole(outputFile)};
}

void DeviceTest::SetUp() {
    ResetProcessState();
    UseVirtualClock();
    g_events.clear();
    g_timeLeft.clear();
    SelectDisplay(RecordingDisplay(true));
    LogToBuffer(&log_);

    scratch_ = std::make_unique<ScratchFolder>();
    previousDir_ = std::filesystem::current_path();
    std::filesystem::current_path(Dir());
    Start();
}

void DeviceTest::TearDown() {
    everything_ += log_;
    log_.clear();
    LogToBuffer(nullptr);
    if (tracing_) EndTrace();
    tracing_ = false;
    SelectD2xx(nullptr);
    SelectDisplay(nullptr);
    std::filesystem::current_path(previousDir_);
    UseRealClock();
    if (HasFailure()) {
        std::fprintf(stderr, "--- the test's log ---\n%s\n--- its folder: %s ---\n", everything_.c_str(),
                     Dir().c_str());
        scratch_->Keep();
    }
    scratch_.reset();
}

void DeviceTest::Start(const std::string& scenarioText) {
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::ParseScenario(scenarioText, "test scenario", scenario, error)) << error;
    sim::StartEmulator(scenario);
    UseBackend(sim::EmulatorD2xx());
}

void DeviceTest::UseBackend(const D2xxOps* backend) {
    if (tracing_) EndTrace();
    std::FILE* trace = std::fopen((Dir() / "trace.txt").c_str(), "w");
    ASSERT_NE(trace, nullptr);
    SelectD2xx(TraceD2xx(backend, trace));
    tracing_ = true;
}

std::string DeviceTest::Output() {
    std::string text;
    text.swap(log_);
    everything_ += text;
    return text;
}

std::vector<TraceLine> DeviceTest::Trace() {
    FlushTrace();
    std::vector<TraceLine> lines;
    std::istringstream in(ReadWhole(Dir() / "trace.txt"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        TraceLine t;
        words >> t.ms >> t.call;
        std::getline(words, t.rest);
        if (!t.rest.empty() && t.rest[0] == ' ') t.rest.erase(0, 1);
        lines.push_back(t);
    }
    return lines;
}

std::vector<std::string> DeviceTest::Writes() {
    std::vector<std::string> writes;
    for (const auto& t : Trace()) {
        if (t.call != "FT_Write") continue;
        writes.push_back(std::to_string(t.ms) + " " + t.rest.substr(0, t.rest.find(' ')));
    }
    return writes;
}

void DeviceTest::CopySamples() {
    for (const char* name : {"gen.hex", "genprom.hex", "GEN.dat"})
        std::filesystem::copy_file(std::filesystem::path(QVM7316_SOURCE_DIR) / "samples" / name, Dir() / name,
                                   std::filesystem::copy_options::overwrite_existing);
}

void DeviceTest::WriteFile(const std::string& name, const std::string& content) {
    std::ofstream out(Dir() / name, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string DeviceTest::ReadFile(const std::string& name) { return ReadWhole(Dir() / name); }
