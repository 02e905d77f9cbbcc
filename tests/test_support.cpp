#include "test_support.h"

#include <fstream>
#include <sstream>

#include "platform/clock.h"
#include "platform/d2xx_trace.h"
#include "sim/scenario.h"
#include "update/process_state.h"

namespace {

std::vector<std::string> g_events;
bool g_barExists = true;

bool RecBar() { return g_barExists; }
void RecTitle(const char* t) { g_events.push_back(std::string("title ") + t); }
void RecPosition(int v) { g_events.push_back("bar " + std::to_string(v)); }
void RecColour(std::uint32_t c) {
    char text[32];
    std::snprintf(text, sizeof text, "colour 0x%06X", static_cast<unsigned>(c));
    g_events.push_back(text);
}
void RecFont(int item, DialogFont f) {
    g_events.push_back("font " + std::to_string(item) + (f == DialogFont::Success ? " success" : " title"));
}
void RecText(int item, const char* t) { g_events.push_back("text " + std::to_string(item) + " " + t); }
void RecEnable(int item, bool on) { g_events.push_back("enable " + std::to_string(item) + (on ? " 1" : " 0")); }
int RecMessage(unsigned type, const char* t) {
    g_events.push_back("message " + std::to_string(type) + " " + t);
    return 1;
}
const WindowOps kRecorder = {RecBar, RecTitle, RecPosition, RecColour, RecFont, RecText, RecEnable, RecMessage};

}  // namespace

std::vector<std::string>& WindowEvents() { return g_events; }
const WindowOps* RecordingWindowOps(bool barExists) {
    g_barExists = barExists;
    return &kRecorder;
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

void DeviceTest::SetUp() {
    ResetProcessState();
    UseVirtualClock();
    g_events.clear();
    SelectWindowOps(RecordingWindowOps(true));

    previousDir_ = std::filesystem::current_path();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() / "qvm7316-tests" /
           (std::string(info->test_suite_name()) + "." + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);

    ::testing::internal::CaptureStdout();
    capturing_ = true;
    Start();
}

void DeviceTest::TearDown() {
    if (capturing_) {
        std::fflush(stdout);
        everything_ += ::testing::internal::GetCapturedStdout();
        capturing_ = false;
    }
    // Failure messages went to the captured standard output: show them.
    if (HasFailure()) std::fprintf(stderr, "--- standard output of the test ---\n%s\n", everything_.c_str());
    if (trace_) std::fclose(trace_);
    trace_ = nullptr;
    SelectD2xx(nullptr);
    SelectWindowOps(nullptr);
    std::filesystem::current_path(previousDir_);
    UseRealClock();
}

void DeviceTest::Start(const std::string& scenarioText) {
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::ParseScenario(scenarioText, "test scenario", scenario, error)) << error;
    sim::StartEmulator(scenario);
    if (trace_) std::fclose(trace_);
    trace_ = std::tmpfile();
    SelectD2xx(TraceD2xx(sim::EmulatorD2xx(), trace_));
}

std::string DeviceTest::Output() {
    if (!capturing_) return "";
    std::fflush(stdout);
    std::string text = ::testing::internal::GetCapturedStdout();
    ::testing::internal::CaptureStdout();
    everything_ += text;
    return text;
}

std::vector<TraceLine> DeviceTest::Trace() {
    std::vector<TraceLine> lines;
    std::fflush(trace_);
    std::rewind(trace_);
    char buffer[8192];
    std::string text;
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, trace_)) > 0) text.append(buffer, n);
    std::fseek(trace_, 0, SEEK_END);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
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

void DeviceTest::WriteFile(const std::string& name, const std::string& content) {
    std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string DeviceTest::ReadFile(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
