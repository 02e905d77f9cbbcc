// What the technician and the service bench see of a run: the images'
// summary before it, the report after it (--report), and the attached
// devices as JSON (--list --json).
#include <gmock/gmock.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "device/selection.h"
#include "hex_gen.h"
#include "platform/log.h"
#include "protocol/status.h"
#include "test_support.h"
#include "update/check_images.h"
#include "update/run_report.h"
#include "update/run_update.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;
using Json = nlohmann::json;

namespace {

constexpr char kGenHexLine[] = "gen.hex: 4855 bytes, SHA-256 db6ad08aa339, data 0x0000-0x8004";
constexpr char kPromHexLine[] = "genprom.hex: 24672 bytes, SHA-256 7d42715aa842";
constexpr char kGateArrayLine[] = "GEN.dat: 32000 bytes, SHA-256 883124a96116";

class ReportTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        CopySamples();
        Start();  // knows GEN.dat's size now
        SetReportFile("unit.json");
    }
    void TearDown() override {
        CloseRunLog();
        DeviceTest::TearDown();
    }
    Json Report() { return Json::parse(ReadFile("unit.json")); }
    // The report of a run with this scenario.
    Json ReportOfRun(const std::string& scenario) {
        Start(scenario);
        UpdateWorker();
        Output();
        return Report();
    }
};

// Each field the expectation gives, as the report has it.
void ExpectFields(Json report, const Json& expected) {
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(report[key], value) << key;
}

std::vector<std::string> Names(const Json& list) {
    std::vector<std::string> names;
    for (const Json& entry : list) names.push_back(entry["name"]);
    return names;
}

}  // namespace

// ---- The images' summary ----

TEST_F(ReportTest, TheSummaryGivesEachImageInOneLineOrItsFirstFailure) {
    EXPECT_THAT(ImagesSummary(CheckImageFiles()), ElementsAre(kGenHexLine, kPromHexLine, kGateArrayLine));

    // Data above 64 KiB takes eight digits.
    WriteFile("gen.hex", HexRecord(0, 0x04, std::string("\x00\x01", 2)) + "\r\n" + HexRecord(0x10, 0, "abcd") + "\r\n" +
                             HexRecord(0, 0x01, "") + "\r\n");
    EXPECT_THAT(ImagesSummary(CheckImageFiles())[0], HasSubstr(", data 0x00010010-0x00010013"));

    // One line per image that failed: its first failure, and how many follow.
    WriteFile("gen.hex", ":0\r\n:1\r\n" + HexRecord(0, 0x01, "") + "\r\n");
    std::filesystem::remove(Dir() / "GEN.dat");
    std::filesystem::create_directory(Dir() / "gn.hex");
    EXPECT_THAT(ImagesSummary(CheckImageFiles()),
                ElementsAre("gen.hex:1: odd number of hexadecimal digits (1) (and 2 more problems)",
                            "failed to open gn.hex: it is a folder, not a file", kPromHexLine,
                            "failed to open GEN.dat: No such file or directory"));
}

// The console program checks the images before its warning and the run
// sends what that check read: a file replaced while the warning waits for
// Enter changes nothing sent, and the run log holds the summary shown.
TEST_F(ReportTest, TheRunSendsWhatTheSummaryDescribes) {
    ASSERT_TRUE(OpenRunLog((Dir() / "run.log").string()));
    const std::string checked = ReadFile("GEN.dat");
    CheckImages();
    WriteFile("GEN.dat", std::string(32000, 'Q'));
    ASSERT_EQ(UpdateWorker(true), 0);
    EXPECT_TRUE(std::string(Device().gateArray.image.begin(), Device().gateArray.image.begin() + 32000) == checked);
    CloseRunLog();
    EXPECT_THAT(ReadFile("run.log"), HasSubstr(std::string("\n") + kGenHexLine + "\n" + kPromHexLine + "\n" +
                                               kGateArrayLine + "\n1 FTDI device(s) found\n"));
    EXPECT_EQ(Report()["images"][2]["sha256"], "883124a961169112a0627831110ad0e663b3241c7109637bec6ff0bdb1220f94");
}

TEST_F(ReportTest, TheConsoleShowsTheSummaryBeforeItsWarning) {
    auto run = RunConsole("-C " + Dir().string() + " --simulate --yes --no-log", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_THAT(run.output, StartsWith(std::string(kGenHexLine) + "\n" + kPromHexLine + "\n" + kGateArrayLine +
                                       "\nDisconnect USB, power device off"));

    std::filesystem::remove(Dir() / "GEN.dat");
    run = RunConsole("-C " + Dir().string() + " --simulate --yes --no-log", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, GEN_DAT_OPEN_FAILURE);
    EXPECT_THAT(run.output, StartsWith(std::string(kGenHexLine) + "\n" + kPromHexLine +
                                       "\nfailed to open GEN.dat: No such file or directory\nDisconnect USB"));
}

// ---- The report ----

TEST_F(ReportTest, ASuccessReportsTheDeviceTheImagesAndEveryStage) {
    Json report = ReportOfRun("devices = QVM7316 [A1]");
    EXPECT_EQ(report["program"], (Json{{"name", "qvm7316-update"}, {"version", QVM7316_VERSION}}));
    EXPECT_EQ(report["device"], (Json{{"serial", "A1"}, {"description", "QVM7316"}, {"driver", "emulator"}}));
    EXPECT_EQ(report["images"], (Json::parse(R"([
                  {"name": "gen.hex", "size": 4855,
                   "sha256": "db6ad08aa339a9db90ccbbdea6a0139e50f1788a6185701be552c39468eb7c02"},
                  {"name": "genprom.hex", "size": 24672,
                   "sha256": "7d42715aa842abc9b20d54b3ace953fe26ffe36b4e1f8860320cc2aced868d1f"},
                  {"name": "GEN.dat", "size": 32000,
                   "sha256": "883124a961169112a0627831110ad0e663b3241c7109637bec6ff0bdb1220f94"}])")));
    const std::string iso = "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2}";
    EXPECT_THAT(report["started"].get<std::string>(), MatchesRegex(iso));
    EXPECT_THAT(report["ended"].get<std::string>(), MatchesRegex(iso));
    ExpectFields(report, {{"outcome", "succeeded"},
                          {"exit_code", 0},
                          {"status", nullptr},
                          {"stage", nullptr},
                          {"device_changed", true}});

    // Every stage, in order; their times and the fixed pauses between them
    // (1 s before the processor programming, 4 s before each of the last
    // five stages) make up the run's, to the millisecond.
    EXPECT_THAT(Names(report["stages"]), ElementsAre("ConnectToProcessor", "ConvertHexFile", "ProgramProcessor",
                                                     "ResetProcessor", "ErasePromChip", "ProgramProm",
                                                     "CheckCommunication", "EraseGateArray", "ProgramGateArray"));
    double stages = 0;
    for (const Json& stage : report["stages"]) {
        EXPECT_EQ(stage["status"], "OK");
        stages += stage["seconds"].get<double>();
    }
    EXPECT_NEAR(stages + 21.0, report["seconds"].get<double>(), 0.0005);
    EXPECT_NEAR(report["stages"][4]["seconds"].get<double>(), 102.2, 0.0005);  // the PROM's erase
    // Written under a name of its own first: nothing else is left.
    EXPECT_FALSE(std::filesystem::exists(Dir() / ("unit.json." + std::to_string(getpid()) + ".tmp")));
}

// A failure in each stage: the report names the stage as the failure line
// does, the status, and whether a byte reached the device.
TEST_F(ReportTest, AFailureInEachStageIsReportedWhereTheLogSaysItFailed) {
    struct Case {
        const char* scenario;
        const char* stage;
        int status;
    };
    const Case cases[] = {
        {"handshake_reply = none", "ConnectToProcessor", BAD_HANDSHAKE},
        {"fail = FT_Purge 1", "ProgramProcessor", USB_PURGE_FAILURE},
        {"fail = FT_Purge 2", "ResetProcessor", USB_PURGE_FAILURE},
        {"fail = FT_Purge 4", "ErasePromChip", USB_PURGE_FAILURE},
        {"fail = FT_Purge 5", "ProgramProm", USB_PURGE_FAILURE},
        {"fail = FT_Purge 6", "CheckCommunication", USB_PURGE_FAILURE},
        {"fail = FT_Purge 7", "EraseGateArray", USB_PURGE_FAILURE},
        {"fail = FT_Purge 8", "ProgramGateArray", USB_PURGE_FAILURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        Json report = ReportOfRun(c.scenario);
        ExpectFields(report, {{"outcome", "failed"},
                              {"exit_code", c.status},
                              {"status", StatusName(c.status)},
                              {"stage", c.stage},
                              {"device_changed", true}});
        EXPECT_EQ(report["stages"].back()["name"], c.stage);
        EXPECT_EQ(report["stages"].back()["status"], StatusName(c.status));
        EXPECT_EQ(report["device"]["serial"], "EMU00001");
    }

    // The conversion: gn.hex has become a folder since the check.
    Start();
    CheckImages();
    std::filesystem::remove(Dir() / "gn.hex");
    std::filesystem::create_directory(Dir() / "gn.hex");
    EXPECT_EQ(UpdateWorker(true), -1);
    Json report = Report();
    // The handshake came before: the device has changed.
    ExpectFields(report, {{"stage", "ConvertHexFile"},
                          {"status", "GN_HEX_OPEN_FAILURE"},
                          {"outcome", "failed"},
                          {"device_changed", true}});
}

TEST_F(ReportTest, AStopIsReportedAsStoppedEvenBeforeAnyByte) {
    Json report = ReportOfRun("terminate_after = FT_GetStatus 10");
    ExpectFields(report, {{"outcome", "stopped"},
                          {"exit_code", TERMINATED},
                          {"status", "TERMINATED"},
                          {"stage", "ProgramProm"},
                          {"device_changed", true}});
    EXPECT_EQ(
        report["stages"].back(),
        (Json{{"name", "ProgramProm"}, {"status", "TERMINATED"}, {"seconds", report["stages"].back()["seconds"]}}));

    report = ReportOfRun("interrupt_after = FT_ListDevices 1\ninterrupt_after = FT_ListDevices 2");
    ExpectFields(report, {{"outcome", "stopped"},
                          {"exit_code", INTERRUPTED},
                          {"stage", "ConnectToProcessor"},
                          {"device_changed", false}});
}

// Refused: the run ended before any byte reached the device because an
// image failed its check or no single device could be chosen.
TEST_F(ReportTest, ARunThatCouldNotBeginIsReportedAsRefused) {
    std::filesystem::remove(Dir() / "GEN.dat");
    Json report = ReportOfRun("");
    ExpectFields(report, {{"outcome", "refused"},
                          {"exit_code", GEN_DAT_OPEN_FAILURE},
                          {"status", "GEN_DAT_OPEN_FAILURE"},
                          {"stage", "image check"},
                          {"device_changed", false},
                          {"stages", Json::array()}});
    EXPECT_EQ(report["images"][2], (Json{{"name", "GEN.dat"}, {"size", nullptr}, {"sha256", nullptr}}));
    EXPECT_EQ(report["device"], (Json{{"serial", nullptr}, {"description", nullptr}, {"driver", "emulator"}}));
    CopySamples();

    for (const char* scenario : {"devices =", "devices = QVM7316 [A1], QVM7316 [B2]"}) {
        SCOPED_TRACE(scenario);
        report = ReportOfRun(scenario);
        ExpectFields(report,
                     {{"outcome", "refused"}, {"exit_code", USB_OPEN_FAILURE}, {"stage", "ConnectToProcessor"}});
        EXPECT_EQ(report["device"]["serial"], nullptr);
        EXPECT_EQ(report["stages"].size(), 1u);
    }
    ChooseDevice("C3");
    EXPECT_EQ(ReportOfRun("devices = QVM7316 [A1]")["outcome"], "refused");

    // A device that is there but cannot be opened is a failure, not a refusal.
    ChooseDevice("");
    report = ReportOfRun("fail = FT_OpenEx 1");
    EXPECT_EQ(report["outcome"], "failed");
    EXPECT_EQ(report["device"]["serial"], "EMU00001");
    EXPECT_EQ(report["device_changed"], false);
}

TEST_F(ReportTest, TheReportReplacesTheOldOneWholeOrSaysWhyItCannot) {
    WriteFile("unit.json", "an older report");
    ReportOfRun("");
    EXPECT_EQ(Report()["outcome"], "succeeded");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir()), {}), 6);  // images, gn.hex, trace, report

    // A folder that has gone: one line on standard error and in the run
    // log, and the run's outcome stands.
    ASSERT_TRUE(OpenRunLog((Dir() / "run.log").string()));
    SetReportFile("gone/unit.json");
    Start();
    EXPECT_EQ(UpdateWorker(), 0);
    EXPECT_FALSE(RunReportWritten());
    CloseRunLog();
    EXPECT_THAT(ReadFile("run.log"),
                HasSubstr("=== the report could not be written to gone/unit.json: No such file or directory\n"
                          "=== end: succeeded after"));
}

// A device's names are bytes: a description that is not UTF-8 still gives
// a report that any JSON reader takes.
TEST_F(ReportTest, DeviceNamesThatAreNotUtf8StillMakeValidJson) {
    Json report = ReportOfRun("devices = \"QVM7316 \\xFF\" [A1]");
    EXPECT_EQ(report["device"]["description"], "QVM7316 \xEF\xBF\xBD");
}

TEST(IsoLocalTime, GivesTheLocalTimeWithItsOffsetFromUtc) {
    const char* before = std::getenv("TZ");
    std::string saved = before ? before : "";
    for (auto [zone, expected] : {std::pair{"UTC0", "1970-01-02T10:17:36+00:00"},
                                  {"IST-5:30", "1970-01-02T15:47:36+05:30"},
                                  {"NST+3:30", "1970-01-02T06:47:36-03:30"}}) {
        setenv("TZ", zone, 1);
        tzset();
        EXPECT_EQ(IsoLocalTime(123456), expected) << zone;
    }
    if (before)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// ---- --list --json ----

TEST_F(ReportTest, TheDeviceListAsJson) {
    WriteFile("bench.txt",
              "devices = QVM7316 [A1], FT232R USB UART [], \"QVM7316 B\" [B2], QVM7316 [C3]\nno_access = 4\n");
    auto run = RunConsole("-C " + Dir().string() + " --simulate=bench.txt --list --json", Dir() / "out.txt",
                          Dir() / "err.txt");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(Json::parse(run.output), Json::parse(R"([
        {"index": 0, "serial": "A1", "description": "QVM7316", "qvm7316": true, "access": true},
        {"index": 1, "serial": null, "description": "FT232R USB UART", "qvm7316": false, "access": true},
        {"index": 2, "serial": "B2", "description": "QVM7316 B", "qvm7316": true, "access": true},
        {"index": 3, "serial": null, "description": null, "qvm7316": false, "access": false}])"));
    EXPECT_THAT(ReadFile("err.txt"), StartsWith("1 FTDI device(s) could not be read"));

    WriteFile("none.txt", "devices =\n");
    run = RunConsole("-C " + Dir().string() + " --simulate=none.txt --list --json", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "[]\n");

    // A listing that fails says why on standard error, and gives no list.
    WriteFile("broken.txt", "fail = FT_ListDevices 1\n");
    run = RunConsole("-C " + Dir().string() + " --simulate=broken.txt --list --json", Dir() / "out.txt",
                     Dir() / "err.txt");
    EXPECT_EQ(run.exitCode, USB_LIST_FAILURE);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(ReadFile("err.txt"), "first List Device Failed\n");
}

TEST_F(ReportTest, AReportThatCannotBeWrittenIsRefusedBeforeAnythingIsDone) {
    for (const char* args : {"--simulate --yes --report no/such/folder/r.json", "--check --report r.json"}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(RunConsole("-C " + Dir().string() + " " + args, Dir() / "out.txt").exitCode, 2);
        EXPECT_FALSE(std::filesystem::exists(Dir() / "gn.hex"));
    }
}
