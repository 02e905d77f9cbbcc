// Simulation of whole updates with faults: a run of the update in virtual
// time against the emulated device, with images and faults drawn at random
// from a seed (or given), held to the invariants every run must keep
// whatever goes wrong:
//
// - it ends with exit code 0 if and only if "Programming finished
//   successfully!" is logged, and then the device holds exactly the three
//   images (processor memory from gen.hex, PROM from genprom.hex, gate array
//   from GEN.dat), its loader took the boot status record, and its gate
//   array verified them;
// - the exit code is 0 or a documented one, and the log's "failed in" or
//   "stopped in" line agrees with it (and the display, and the run log's
//   result line);
// - it ends within a bound put together from its time-outs and pauses
//   (virtual time), and within seconds (of the processor's time; a minute
//   of real time);
// - every open has its close; no image file stays open; the trace holds
//   every call made;
// - once the run has been stopped, only the close follows; once it has
//   failed, no call; a run that says nothing was sent wrote nothing;
// - only a run that succeeded shows 100 % ("DONE!");
// - a run without faults succeeds (unless the image check refused the
//   images, without a device call).
//
// tests/fault_sim_test.cpp runs it; nothing here depends on GoogleTest.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

struct SimImages {
    std::string genHex;   // gen.hex
    std::string promHex;  // genprom.hex
    std::string genDat;   // GEN.dat
};

// One run: the images and the faults, each fault a line of a scenario file
// ("fail = FT_Write 120", "ga_stop_after = 40").
struct SimCase {
    std::uint64_t seed = 0;  // what it was drawn from; 0: given, not drawn
    SimImages images;
    std::vector<std::string> faults;
};

// The scenario file of a case: a comment line naming its seed, then its
// faults.
std::string ScenarioText(const SimCase& simCase);

// Random images that pass the image check: gen.hex of a few to a few
// hundred records at random addresses (some crossing 128-byte boundaries,
// at most 16 data bytes each), genprom.hex of a random number of pages of
// random contents, GEN.dat of a random size (mostly small).
SimImages RandomImages(std::uint64_t seed);

// A case drawn from a seed: random images and none to several faults of
// every kind the scenario language has, at random places.
SimCase CaseFromSeed(std::uint64_t seed);

// The images of samples/ in the source tree.
SimImages SampleImages(const std::filesystem::path& sourceDir);

// How many calls of each D2XX function (in the order of D2XX_CALLS) a run
// made; what the single-call sweep fails in turn.
struct SimCallCounts {
    std::vector<std::uint32_t> perCall;
};

struct SimRun {
    int exitCode = -1;
    std::string log;
    std::uint64_t virtualMs = 0;
    std::uint64_t boundMs = 0;  // the longest it may take in virtual time
    double realSeconds = 0;
    double processorSeconds = 0;  // the process's time on the processor
    SimCallCounts calls;
    // Each a line: "<invariant>: <what happened>". Empty: the run kept them all.
    std::vector<std::string> violations;
};

// Runs the case in-process as the console program would run it
// (`qvm7316-update --simulate=<scenario> --yes`) in `folder`, which must
// exist and which the run makes its working folder for as long as it
// lasts; writes the images there first unless `imagesInPlace`. Checks every
// invariant.
SimRun RunCase(const SimCase& simCase, const std::filesystem::path& folder, bool imagesInPlace = false);

// The invariant a violation line names (the text before its first ':').
std::string InvariantOf(const std::string& violation);

// The case with as few faults as still break the invariant that `failing`
// broke first (removing one fault at a time), and, where that still holds,
// with smaller images; not when a fault names a call by its number, which
// other images would move.
SimCase Shrink(const SimCase& failing, const std::string& invariant, const std::filesystem::path& folder);

// Writes the case into `folder` (the three images and the file "scenario")
// and returns the command that reruns it with the console program.
std::string KeepCase(const SimCase& simCase, const std::filesystem::path& folder, const std::string& consoleProgram);

// Reads a case kept by KeepCase; an image the folder does not hold is the
// one in `samplesFolder`.
SimCase LoadCase(const std::filesystem::path& folder, const std::filesystem::path& samplesFolder);

// For a failing case: its violations, its shrunk scenario file, and the
// command that reruns it, kept in `keepFolder`; one text to print.
std::string ReportFailure(const SimCase& simCase, const SimRun& run, const std::filesystem::path& workFolder,
                          const std::filesystem::path& keepFolder, const std::string& consoleProgram);

// The kind of a violation: its invariant and the first words of what
// happened, numbers left out ("success means the device holds the images:
// PROM differs at byte").
std::string ViolationKind(const std::string& violation);

// Runs counted, and their violations by kind, for a soak's summary.
struct SimTally {
    std::uint64_t runs = 0;
    std::uint64_t failing = 0;  // runs with a violation
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    double longest = 0;  // the largest share of its time bound a run took
    struct Kind {
        std::uint64_t runs = 0;
        std::string first;  // the first case that showed it
    };
    std::map<std::string, Kind> kinds;
    void Add(const std::string& name, const SimRun& run);
    // "<runs> runs in <s> s (<r> runs per second), <n> with violations" (the
    // time since the tally began, drawing the cases included), the
    // longest run's share of its time bound, then a line per kind with its
    // count and first case.
    std::string Summary() const;
};
