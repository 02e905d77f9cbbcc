// Whole updates with faults, in virtual time, each held to the invariants
// of tests/fault_sim.h: a fixed range of seeds, every single D2XX call of a
// good run failed in turn, and the cases found so far (tests/fixtures/
// fault_sim/). A failing case is shrunk and kept, and the one command that
// reruns it with the console program is printed.
//
// QVM7316_SOAK_SEEDS=20000 runs that many more seeds (FaultSimSoak), from
// QVM7316_SOAK_FROM (100001), and prints how many ran, how fast, and the
// violations by kind.
#include "fault_sim.h"

#include <gmock/gmock.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "expected_images.h"
#include "platform/d2xx.h"
#include "test_support.h"

using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers make a run several times slower: a share of each range.
constexpr std::uint64_t kEvery = 8;
#else
constexpr std::uint64_t kEvery = 1;
#endif

// Failing cases reported in full (shrunk and kept) per test; the rest are
// listed by seed and first violation.
constexpr int kReportedInFull = 2;

const std::filesystem::path kSourceDir = QVM7316_SOURCE_DIR;

// Where failing cases are kept for a rerun: beside the test's own folder.
std::filesystem::path KeepFolder(std::string name) {
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
    return std::filesystem::temp_directory_path() / "qvm7316-fault-sim" / name;
}

// Counts the cases that break an invariant, reporting each.
class Failures {
  public:
    explicit Failures(const ScratchFolder& work) : work_(work) {}
    void Check(const SimCase& simCase, const SimRun& run, const std::string& name) {
        tally_.Add(name, run);
        if (run.violations.empty()) return;
        if (tally_.failing <= kReportedInFull)
            ADD_FAILURE() << ReportFailure(simCase, run, work_.Path(), KeepFolder(name), QVM7316_CONSOLE_EXE);
        else
            ADD_FAILURE() << name << ": " << run.violations.front();
    }
    const SimTally& Tally() const { return tally_; }

  private:
    const ScratchFolder& work_;
    SimTally tally_;
};

void RunSeeds(std::uint64_t first, std::uint64_t count) {
    ScratchFolder work;
    Failures failures(work);
    for (std::uint64_t seed = first; seed < first + count; seed += kEvery) {
        SimCase simCase = CaseFromSeed(seed);
        failures.Check(simCase, RunCase(simCase, work.Path()), "seed " + std::to_string(seed));
    }
    EXPECT_EQ(failures.Tally().failing, 0u) << failures.Tally().Summary();
}

// Every call of a good run with the sample images, failed in turn: this
// part takes every `parts`-th of them (with the sanitizers, a share of
// those).
void SweepSingleFailures(std::size_t part, std::size_t parts) {
    ScratchFolder work;
    SimCase good;
    good.images = SampleImages(kSourceDir);
    SimRun base = RunCase(good, work.Path());
    ASSERT_THAT(base.violations, IsEmpty());
    Failures failures(work);
    std::size_t index = 0;
    for (int call = 0; call < kD2xxCallCount; ++call) {
        for (std::uint32_t n = 1; n <= base.calls.perCall[call]; ++n) {
            std::size_t at = index++;
            if (at % parts != part || (at / parts) % kEvery != 0) continue;
            SimCase one = good;
            one.faults = {std::string("fail = ") + D2xxCallName(static_cast<D2xxCall>(call)) + " " + std::to_string(n)};
            failures.Check(one, RunCase(one, work.Path(), true), one.faults.front());
        }
    }
    EXPECT_EQ(failures.Tally().failing, 0u) << failures.Tally().Summary();
}

}  // namespace

// ---- The harness itself ----

TEST(FaultSimHarness, ASeedAlwaysGivesTheSameCase) {
    SimCase a = CaseFromSeed(77), b = CaseFromSeed(77), c = CaseFromSeed(78);
    EXPECT_EQ(ScenarioText(a), ScenarioText(b));
    EXPECT_EQ(a.images.genHex, b.images.genHex);
    EXPECT_EQ(a.images.genDat, b.images.genDat);
    EXPECT_NE(a.images.genDat, c.images.genDat);
}

TEST(FaultSimHarness, AGoodRunKeepsEveryInvariantAndCountsItsCalls) {
    ScratchFolder work;
    SimCase good;
    good.images = SampleImages(kSourceDir);
    SimRun run = RunCase(good, work.Path());
    EXPECT_THAT(run.violations, IsEmpty());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.calls.perCall[static_cast<int>(D2xxCall::OpenEx)],
              run.calls.perCall[static_cast<int>(D2xxCall::Close)]);
    EXPECT_GT(run.calls.perCall[static_cast<int>(D2xxCall::Write)], 2000u);
    EXPECT_THAT(run.log, HasSubstr("Programming finished successfully!\n"));
}

// A PROM still erasing when the host programs it ignores the pages: the
// host cannot see it (its erase wait is fixed), so the run succeeds, and
// the invariant finds the device does not hold the image.
TEST(FaultSimHarness, ADeviceThatDoesNotHoldTheImagesAfterASuccessIsAViolation) {
    ScratchFolder work;
    SimCase slow;
    slow.images = SampleImages(kSourceDir);
    slow.faults = {"prom_erase_ms = 200000"};
    SimRun run = RunCase(slow, work.Path());
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(run.violations.size(), 1u);
    EXPECT_THAT(run.violations[0], HasSubstr("success means the device holds the images: PROM differs at byte 0"));
}

// The command printed for a failing case reruns it with the console
// program, to the same end.
TEST(FaultSimHarness, AKeptCaseRerunsWithTheConsoleProgram) {
    ScratchFolder work;
    SimCase simCase;
    simCase.images = SampleImages(kSourceDir);
    simCase.faults = {"echo_status = X 20", "comcheck_delay_ms = 10"};
    SimRun run = RunCase(simCase, work.Path());
    EXPECT_EQ(run.exitCode, 26);  // the processor's answer to record 20
    std::string command = KeepCase(simCase, work.Path() / "kept", QVM7316_CONSOLE_EXE);
    EXPECT_THAT(command, HasSubstr("kept --simulate=scenario --yes --dump dump"));
    int status = std::system((command + " >" + (work.Path() / "out.txt").string() + " 2>&1 </dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), run.exitCode);
    EXPECT_TRUE(std::filesystem::exists(work.Path() / "kept" / "dump" / "device.txt"));
    SimCase loaded = LoadCase(work.Path() / "kept", kSourceDir / "samples");
    EXPECT_EQ(loaded.faults, simCase.faults);
    EXPECT_EQ(loaded.images.genDat, simCase.images.genDat);
}

// ---- The cases found so far ----

// Each folder of tests/fixtures/fault_sim holds a case that once broke an
// invariant: its scenario, and the images that differ from the samples.
TEST(FaultSimFixtures, EveryCaseFoundKeepsTheInvariants) {
    ScratchFolder work;
    Failures failures(work);
    std::size_t cases = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kSourceDir / "tests" / "fixtures" / "fault_sim")) {
        if (!entry.is_directory()) continue;
        ++cases;
        SimCase simCase = LoadCase(entry.path(), kSourceDir / "samples");
        failures.Check(simCase, RunCase(simCase, work.Path()), entry.path().filename().string());
    }
    EXPECT_GT(cases, 0u);
    EXPECT_EQ(failures.Tally().failing, 0u) << failures.Tally().Summary();
}

// ---- Seeds ----

TEST(FaultSimSeeds, From1) { RunSeeds(1, 250); }
TEST(FaultSimSeeds, From251) { RunSeeds(251, 250); }
TEST(FaultSimSeeds, From501) { RunSeeds(501, 250); }
TEST(FaultSimSeeds, From751) { RunSeeds(751, 250); }
TEST(FaultSimSeeds, From1001) { RunSeeds(1001, 250); }
TEST(FaultSimSeeds, From1251) { RunSeeds(1251, 250); }
TEST(FaultSimSeeds, From1501) { RunSeeds(1501, 250); }
TEST(FaultSimSeeds, From1751) { RunSeeds(1751, 250); }

TEST(FaultSimSoak, SeedsFromTheEnvironment) {
    const char* seeds = std::getenv("QVM7316_SOAK_SEEDS");
    if (!seeds) GTEST_SKIP() << "QVM7316_SOAK_SEEDS=<count> runs that many seeds, from QVM7316_SOAK_FROM (100001)";
    const char* from = std::getenv("QVM7316_SOAK_FROM");
    std::uint64_t first = from ? std::strtoull(from, nullptr, 10) : 100001;
    ScratchFolder work;
    SimTally tally;
    for (std::uint64_t seed = first, end = first + std::strtoull(seeds, nullptr, 10); seed < end; ++seed)
        tally.Add("seed " + std::to_string(seed), RunCase(CaseFromSeed(seed), work.Path()));
    std::printf("%s", tally.Summary().c_str());
    EXPECT_EQ(tally.failing, 0u);
}

// QVM7316_SEED=<n>, or QVM7316_CASE=<folder> (a scenario file and the
// images that differ from the samples), reports that one case in full: its
// log, its violations, shrunk, kept, and the command that reruns it.
TEST(FaultSimSoak, OneCaseFromTheEnvironment) {
    const char* seed = std::getenv("QVM7316_SEED");
    const char* folder = std::getenv("QVM7316_CASE");
    if (!seed && !folder) GTEST_SKIP() << "QVM7316_SEED=<n> or QVM7316_CASE=<folder> reports that case in full";
    ScratchFolder work;
    SimCase simCase = seed ? CaseFromSeed(std::strtoull(seed, nullptr, 10)) : LoadCase(folder, kSourceDir / "samples");
    SimRun run = RunCase(simCase, work.Path());
    std::printf("%s--- log ---\n%s", ScenarioText(simCase).c_str(), run.log.c_str());
    std::string name =
        seed ? "seed " + std::string(seed) : std::filesystem::path(folder).filename().string() + " shrunk";
    if (!run.violations.empty())
        ADD_FAILURE() << ReportFailure(simCase, run, work.Path(), KeepFolder(name), QVM7316_CONSOLE_EXE);
}

// ---- Every single call failed ----

TEST(FaultSimSweep, Part1Of8) { SweepSingleFailures(0, 8); }
TEST(FaultSimSweep, Part2Of8) { SweepSingleFailures(1, 8); }
TEST(FaultSimSweep, Part3Of8) { SweepSingleFailures(2, 8); }
TEST(FaultSimSweep, Part4Of8) { SweepSingleFailures(3, 8); }
TEST(FaultSimSweep, Part5Of8) { SweepSingleFailures(4, 8); }
TEST(FaultSimSweep, Part6Of8) { SweepSingleFailures(5, 8); }
TEST(FaultSimSweep, Part7Of8) { SweepSingleFailures(6, 8); }
TEST(FaultSimSweep, Part8Of8) { SweepSingleFailures(7, 8); }
