#include "app/options.h"

#include <cstdio>
#include <cstring>

#include "platform/text.h"

namespace {

// One option: a flag, an option with a value ("--trace FILE" or
// "--trace=FILE"), or both ("--simulate" or "--simulate=FILE").
struct OptionSpec {
    const char* name;
    bool* flag;
    std::string* value;
    bool valueOptional;
};

}  // namespace

int UsageError(const std::string& message) {
    std::fprintf(stderr, "qvm7316-update: %s\nTry 'qvm7316-update --help'.\n", message.c_str());
    return kUsageError;
}

int ParseOptions(int argc, char** argv, Options& o) {
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
        {"--serial", nullptr, &o.serial, false},
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
            } else if (s.value && arg.compare(0, n, s.name) == 0 && arg.size() > n && arg[n] == '=') {
                spec = &s;
                value = arg.substr(n + 1);
                hasValue = true;
            }
            if (spec) break;
        }
        if (!spec) return UsageError("unknown option " + QuoteForMessage(arg));
        if (spec->flag) *spec->flag = true;
        if (!spec->value) {
            if (hasValue) return UsageError(std::string(spec->name) + " takes no value");
            continue;
        }
        if (!hasValue && !spec->valueOptional) {
            if (i + 1 >= argc) return UsageError(std::string(spec->name) + " needs a value");
            value = argv[++i];
            hasValue = true;
        }
        if (hasValue && value.empty()) return UsageError(std::string(spec->name) + " needs a value");
        if (hasValue) *spec->value = value;
    }
    if (o.help || o.version) return -1;
    bool replay = !o.replay.empty();
    if (replay && o.simulate) return UsageError("--replay and --simulate exclude each other");
    if (replay && o.check) return UsageError("--replay and --check exclude each other");
    if (o.replayAnyImages && !replay) return UsageError("--replay-any-images goes with --replay");
    if (o.realtime && !o.simulate && !replay) return UsageError("--realtime goes with --simulate or --replay");
    if (!o.dump.empty() && !o.simulate) return UsageError("--dump goes with --simulate");
    if (o.noLog && !o.log.empty()) return UsageError("--log and --no-log exclude each other");
    if (o.list && o.check) return UsageError("--list and --check exclude each other");
    return -1;
}

std::string RunLogPath(const Options& options) {
    if (options.noLog || (!options.replay.empty() && options.log.empty())) return "";
    return options.log.empty() ? "qvm7316-update.log" : options.log;
}
