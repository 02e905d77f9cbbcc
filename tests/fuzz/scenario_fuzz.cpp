// Fuzzes the scenario-file parser: any text is accepted or rejected with a
// message naming the line, never a crash or undefined behaviour.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    sim::Scenario scenario;
    std::string error;
    if (!sim::ParseScenario(text, "fuzz", scenario, error) && error.rfind("fuzz:", 0) != 0) std::abort();
    return 0;
}
