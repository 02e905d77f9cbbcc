// Writes what the emulated device ended up holding.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/device.h"

namespace sim {
namespace {

bool WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        error = path.string() + ": cannot write";
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::uint8_t> PromContents(const PromState& prom, std::size_t pages) {
    std::vector<std::uint8_t> bytes(pages * PromState::kPageSize, prom.unprogrammedByte);
    for (const auto& [page, data] : prom.pages)
        if (page < pages) std::copy(data.begin(), data.end(), bytes.begin() + page * PromState::kPageSize);
    return bytes;
}

std::string DeviceReport(const Device& device) {
    const auto& ga = device.gateArray;
    std::ostringstream txt;
    txt << "serial: " << device.serial << "\n"
        << "description: " << device.description << "\n"
        << "handshakes: " << device.handshakes << "\n"
        << "loader_records: " << device.loader.recordsReceived << "\n"
        << "loader_records_rejected: " << device.loader.recordsRejected << "\n"
        << "bsb_records: " << device.loader.bsbRecords << "\n"
        << "resets: " << device.resets << "\n"
        << "factory_resets: " << device.factoryResets << "\n"
        << "prom_chip_erases: " << device.prom.chipErases << "\n"
        << "prom_page_programs: " << device.prom.pagePrograms << "\n"
        << "prom_ignored_instructions: " << device.prom.ignoredInstructions << "\n"
        << "prom_malformed_instructions: " << device.prom.malformedInstructions << "\n"
        << "com_checks: " << device.comChecks << "\n"
        << "gate_array_erases: " << ga.erases << "\n"
        << "gate_array_erases_cut_short: " << ga.erasesCutShort << "\n"
        << "gate_array_programming_passes: " << ga.programmingPasses << "\n"
        << "gate_array_verifications: " << ga.verifications << "\n"
        << "gate_array_length: " << ga.length << "\n"
        << "gate_array_verify: "
        << (!ga.verifyRan      ? "not run"
            : ga.verifyMatched ? "matched"
                               : "mismatch")
        << "\n"
        << "gate_array_verify_mismatches: " << ga.verifyMismatches << "\n"
        << "unplugged: " << (device.unplugged ? "yes" : "no") << "\n";
    return txt.str();
}

bool DumpDevice(const Device& device, const std::string& dir, std::string& error) {
    std::filesystem::path base(dir);
    std::error_code ec;
    std::filesystem::create_directories(base, ec);
    if (ec) {
        error = dir + ": cannot create the folder";
        return false;
    }
    if (!WriteFile(base / "processor.bin", device.loader.memory, error)) return false;
    // The PROM from address 0 to the end of the highest page ever programmed.
    const PromState& prom = device.prom;
    if (!WriteFile(base / "prom.bin", PromContents(prom, static_cast<std::size_t>(prom.highestPageProgrammed + 1)),
                   error))
        return false;
    if (!WriteFile(base / "gatearray.bin", device.gateArray.image, error)) return false;

    std::ofstream txt(base / "device.txt", std::ios::trunc);
    txt << DeviceReport(device);
    txt.close();
    if (!txt) {
        error = (base / "device.txt").string() + ": cannot write";
        return false;
    }
    return true;
}

}  // namespace sim
