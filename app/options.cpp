#include "app/options.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/d2xx.h"
#include "platform/text.h"

namespace {

// One option: a flag, an option with a value ("--trace FILE" or
// "--trace=FILE"), or both ("--simulate" or "--simulate=FILE"). An option
// that may be given again collects its values.
struct OptionSpec {
    const char* name;
    bool* flag;
    std::string* value;
    bool valueOptional;
    std::vector<std::string>* values = nullptr;
};

}  // namespace

int UsageError(const std::string& message) {
    std::fprintf(stderr, "qvm7316-update: %s\nTry 'qvm7316-update --help'.\n", message.c_str());
    return kUsageError;
}

int ParseOptions(int argc, char** argv, Options& o) {
    std::string latency;
    const OptionSpec specs[] = {
        {"--help", &o.help, nullptr, false},
        {"-h", &o.help, nullptr, false},
        {"--version", &o.version, nullptr, false},
        {"--yes", &o.yes, nullptr, false},
        {"-y", &o.yes, nullptr, false},
        {"--check", &o.check, nullptr, false},
        {"--simulate", &o.simulate, &o.scenario, true},
        {"--realtime", &o.realtime, nullptr, false},
        {"--replay", nullptr, &o.replay, false},
        {"--replay-any-images", &o.replayAnyImages, nullptr, false},
        {"--trace", nullptr, &o.trace, false},
        {"--dump", nullptr, &o.dump, false},
        {"-C", nullptr, &o.directory, false},
        {"--log", nullptr, &o.log, false},
        {"--no-log", &o.noLog, nullptr, false},
        {"--list", &o.list, nullptr, false},
        {"--json", &o.json, nullptr, false},
        {"--report", nullptr, &o.report, false},
        {"--serial", nullptr, &o.serial, false},
        {"--driver", nullptr, &o.driver, false},
        {"--usb-id", nullptr, nullptr, false, &o.usbIds},
        {"--latency-ms", nullptr, &latency, false},
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const OptionSpec* spec = nullptr;
        std::string value;
        bool hasValue = false;
        for (const OptionSpec& s : specs) {
            std::size_t n = std::strlen(s.name);
            if (arg == s.name) {
                spec = &s;
            } else if ((s.value || s.values) && arg.compare(0, n, s.name) == 0 && arg.size() > n && arg[n] == '=') {
                spec = &s;
                value = arg.substr(n + 1);
                hasValue = true;
            }
            if (spec) break;
        }
        if (!spec) return UsageError("unknown option " + QuoteForMessage(arg));
        if (spec->flag) *spec->flag = true;
        if (!spec->value && !spec->values) {
            if (hasValue) return UsageError(std::string(spec->name) + " takes no value");
            continue;
        }
        if (!hasValue && !spec->valueOptional) {
            if (i + 1 >= argc) return UsageError(std::string(spec->name) + " needs a value");
            value = argv[++i];
            hasValue = true;
        }
        if (hasValue && value.empty()) return UsageError(std::string(spec->name) + " needs a value");
        if (hasValue && spec->value) *spec->value = value;
        if (hasValue && spec->values) spec->values->push_back(value);
    }
    if (o.help || o.version) return -1;
    bool replay = !o.replay.empty();
    if (!latency.empty()) {
        bool digits = latency.size() <= 3 && latency.find_first_not_of("0123456789") == std::string::npos;
        o.latencyMs = digits ? static_cast<unsigned>(std::stoul(latency)) : 0;
        if (o.latencyMs < kLatencyTimerMinMs || o.latencyMs > kLatencyTimerMaxMs)
            return UsageError("--latency-ms is the chip's latency timer in ms, from 2 to 255, not " +
                              QuoteForMessage(latency));
        if (replay) return UsageError("--latency-ms goes with a device: a replay sets the recorded run's");
    }
    if (replay && o.simulate) return UsageError("--replay and --simulate exclude each other");
    if (replay && o.check) return UsageError("--replay and --check exclude each other");
    if (o.replayAnyImages && !replay) return UsageError("--replay-any-images goes with --replay");
    if (o.realtime && !o.simulate && !replay) return UsageError("--realtime goes with --simulate or --replay");
    if (!o.dump.empty() && !o.simulate) return UsageError("--dump goes with --simulate");
    if (o.noLog && !o.log.empty()) return UsageError("--log and --no-log exclude each other");
    if (o.list && o.check) return UsageError("--list and --check exclude each other");
    if (o.json && !o.list) return UsageError("--json goes with --list");
    // A report records an update on a device; a replay reproduces one that
    // has its own.
    if (!o.report.empty() && (o.list || o.check || replay))
        return UsageError("--report goes with an update, not with --list, --check or --replay");
    if (!o.driver.empty() && o.driver != "libftdi" && o.driver != "d2xx")
        return UsageError("--driver is libftdi or d2xx, not " + QuoteForMessage(o.driver));
    if ((!o.driver.empty() || !o.usbIds.empty()) && (o.simulate || replay))
        return UsageError("--driver and --usb-id choose a real device's driver, not the emulated or a recorded one");
    if (!o.usbIds.empty() && o.driver == "d2xx") return UsageError("--usb-id goes with the libftdi driver");
    for (const std::string& id : o.usbIds) {
        UsbIdValue parsed;
        if (!ParseUsbId(id, parsed))
            return UsageError("--usb-id is VID:PID, two hexadecimal numbers such as 0403:6015, not " +
                              QuoteForMessage(id));
    }
    return -1;
}

bool ParseUsbId(const std::string& text, UsbIdValue& id) {
    auto hex4 = [](const std::string& digits, unsigned& value) {
        if (digits.empty() || digits.size() > 4) return false;
        value = 0;
        for (char c : digits) {
            int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                    : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                                : -1;
            if (d < 0) return false;
            value = value * 16 + static_cast<unsigned>(d);
        }
        return true;
    };
    std::size_t colon = text.find(':');
    return colon != std::string::npos && hex4(text.substr(0, colon), id.vendor) &&
           hex4(text.substr(colon + 1), id.product);
}

std::string RunLogPath(const Options& options) {
    if (options.noLog || (!options.replay.empty() && options.log.empty())) return "";
    return options.log.empty() ? "qvm7316-update.log" : options.log;
}
