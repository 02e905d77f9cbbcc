#include "sim/scenario.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/text.h"

namespace sim {
namespace {

std::string Trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// A whole number from 0 to max, decimal or 0x hexadecimal.
bool ParseNumber(const std::string& text, std::uint64_t max, std::uint32_t& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool ParsePositive(const std::string& text, std::uint32_t& out) {
    return ParseNumber(text, 0xFFFFFFFFu, out) && out > 0;
}

// A text in double quotes with the escapes \r \n \t \0 \\ \" and \xHH.
// On success `pos` is just past the closing quote.
bool ParseQuoted(const std::string& s, std::size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    out.clear();
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++pos >= s.size()) return false;
        switch (s[pos]) {
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '0':
                out += '\0';
                break;
            case '\\':
                out += '\\';
                break;
            case '"':
                out += '"';
                break;
            case 'x': {
                if (pos + 2 >= s.size()) return false;
                std::string hex = s.substr(pos + 1, 2);
                char* end = nullptr;
                long v = std::strtol(hex.c_str(), &end, 16);
                if (*end != '\0') return false;
                out += static_cast<char>(v);
                pos += 2;
                break;
            }
            default:
                return false;
        }
    }
    return false;
}

// "none" or one quoted text.
bool ParseOptionalText(const std::string& value, std::optional<std::string>& out) {
    if (value == "none") {
        out.reset();
        return true;
    }
    std::size_t pos = 0;
    std::string text;
    if (!ParseQuoted(value, pos, text) || pos != value.size()) return false;
    out = text;
    return true;
}

// A comma-separated list; items may be quoted (to keep blanks or commas).
bool ParseList(const std::string& value, std::vector<std::string>& out) {
    out.clear();
    if (value.empty()) return true;
    std::size_t pos = 0;
    while (true) {
        while (pos < value.size() && value[pos] == ' ') ++pos;
        std::string item;
        if (pos < value.size() && value[pos] == '"') {
            if (!ParseQuoted(value, pos, item)) return false;
            while (pos < value.size() && value[pos] == ' ') ++pos;
        } else {
            std::size_t comma = value.find(',', pos);
            item = Trim(value.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
            pos = comma == std::string::npos ? value.size() : comma;
        }
        if (item.empty()) return false;
        out.push_back(item);
        if (pos >= value.size()) return true;
        if (value[pos] != ',') return false;
        ++pos;
    }
}

void SkipBlanks(const std::string& s, std::size_t& pos) {
    while (pos < s.size() && s[pos] == ' ') ++pos;
}

// "<description> [<serial>], ...": a description, quoted or not, and an
// optional serial number in brackets ("[]": none), each entry separated by
// a comma. Serial numbers may repeat, as those of cheap adapters do.
bool ParseDevices(const std::string& value, std::vector<AttachedDevice>& out, std::string& why,
                  std::size_t serialsBefore = 0) {
    out.clear();
    std::size_t pos = 0;
    while (pos < value.size()) {
        AttachedDevice device;
        SkipBlanks(value, pos);
        if (pos < value.size() && value[pos] == '"') {
            if (!ParseQuoted(value, pos, device.description)) return why = "a description is not closed", false;
        } else {
            std::size_t end = value.find_first_of(",[", pos);
            device.description = Trim(value.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
            pos = end == std::string::npos ? value.size() : end;
        }
        SkipBlanks(value, pos);
        bool serialGiven = false;
        if (pos < value.size() && value[pos] == '[') {
            std::size_t close = value.find(']', pos);
            if (close == std::string::npos) return why = "a serial number is not closed with ]", false;
            device.serial = Trim(value.substr(pos + 1, close - pos - 1));
            if (device.serial.find_first_of(" \t\"") != std::string::npos)
                return why = "a serial number is one word in brackets, or none: []", false;
            serialGiven = true;
            pos = close + 1;
            SkipBlanks(value, pos);
        }
        if (device.description.empty()) return why = "expected descriptions separated by commas", false;
        if (device.description.size() >= 64 || device.serial.size() >= 64)
            return why = "a description or a serial number has at most 63 characters", false;
        if (!serialGiven) device.serial = DefaultSerial(serialsBefore + out.size() + 1);
        out.push_back(device);
        if (pos < value.size() && value[pos++] != ',') return why = "expected a comma between devices", false;
    }
    return true;
}

bool SplitTwo(const std::string& value, std::string& first, std::string& second) {
    std::istringstream in(value);
    std::string extra;
    return static_cast<bool>(in >> first >> second) && !(in >> extra);
}

// The places (from 1) no_access names, marked once every device is known.
struct NoAccessKey {
    int line;
    std::vector<std::uint32_t> places;
};

bool ApplyKey(const std::string& key, const std::string& value, Scenario& s, std::string& why,
              std::vector<NoAccessKey>& noAccess, int line) {
    std::uint32_t n = 0;
    if (key == "no_access") {
        std::vector<std::string> items;
        NoAccessKey places{line, {}};
        if (!ParseList(value, items)) return why = "expected device places (from 1) separated by commas", false;
        for (const std::string& item : items) {
            if (!ParsePositive(item, n)) return why = "expected device places (from 1) separated by commas", false;
            places.places.push_back(n);
        }
        noAccess.push_back(places);
        return true;
    }
    if (key == "devices") return ParseDevices(value, s.devices, why);
    if (key == "attach_after") {
        std::istringstream in(value);
        std::string rest;
        if (!(in >> s.attachAfter) || s.attachAfter == 0 || !std::getline(in, rest))
            return why = "expected <closes from 1> <devices>", false;
        return ParseDevices(rest, s.attachedLater, why, s.devices.size());
    }
    if (key == "bus") {
        if (value.empty()) return why = "expected a folder", false;
        s.bus = value;
        return true;
    }
    if (key == "fail" || key == "unplug_after" || key == "terminate_after" || key == "interrupt_after") {
        auto& calls = key == "fail"              ? s.failures
                      : key == "unplug_after"    ? s.unplugs
                      : key == "terminate_after" ? s.terminations
                                                 : s.interruptions;
        std::string call, count;
        if (!SplitTwo(value, call, count) || !ParsePositive(count, n))
            return why = "expected <D2XX call> <call number from 1>", false;
        D2xxCall which;
        if (!D2xxCallByName(call.c_str(), which)) return why = "unknown D2XX call " + QuoteForMessage(call), false;
        calls[which].push_back(n);
        return true;
    }
    if (key == "chip_timer") {
        if (value != "on" && value != "off") return why = "expected on or off", false;
        s.chipTimer = value == "on";
        return true;
    }
    if (key == "handshake_reply") {
        if (value == "none") return s.handshakeReply.reset(), true;
        if (!ParseNumber(value, 0xFF, n)) return why = "expected a byte (0 to 255, or 0x00 to 0xFF) or none", false;
        s.handshakeReply = static_cast<std::uint8_t>(n);
        return true;
    }
    if (key == "echo_status") {
        std::string ch, line;
        if (!SplitTwo(value, ch, line) || ch.size() != 1 || !ParsePositive(line, n))
            return why = "expected <one character> <record number from 1>", false;
        s.echoStatus[n] = ch[0];
        return true;
    }
    if (key == "echo") {
        std::string word, line;
        if (!SplitTwo(value, word, line) || word != "none" || !ParsePositive(line, n))
            return why = "expected none <record number from 1>", false;
        s.echoSilentFrom = n;
        return true;
    }
    if (key == "ga_requests") {
        std::vector<std::string> requests;
        if (!ParseList(value, requests)) return why = "expected request texts separated by commas", false;
        s.gaRequests = requests;
        return true;
    }
    if (key == "comcheck_reply1" || key == "comcheck_reply2" || key == "ga_report") {
        auto& slot = key == "comcheck_reply1"   ? s.comcheckReply1
                     : key == "comcheck_reply2" ? s.comcheckReply2
                                                : s.gaReport;
        if (!ParseOptionalText(value, slot)) return why = "expected a text in double quotes, or none", false;
        return true;
    }
    constexpr std::uint32_t kAny = 0xFFFFFFFFu;
    struct NumberKey {
        const char* name;
        std::uint32_t* plain;
        std::optional<std::uint32_t>* optional;
        std::uint32_t min, max;
    } numbers[] = {
        {"echo_short", &s.echoShort, nullptr, 0, kAny},
        {"echo_delay_ms", &s.echoDelayMs, nullptr, 0, kAny},
        {"prom_erase_ms", &s.promEraseMs, nullptr, 0, kAny},
        {"tx_drain", &s.txDrainBytesPerMs, nullptr, 0, kAny},
        {"line_rate", &s.lineRateBaud, nullptr, 0, kLineRateLimit},
        {"comcheck_delay_ms", &s.comcheckDelayMs, nullptr, 0, kAny},
        {"ga_length", nullptr, &s.gaLength, 0, kGateArrayLengthLimit},
        {"ga_erase_ms", &s.gaEraseMs, nullptr, 0, kAny},
        {"ga_stop_after", nullptr, &s.gaStopAfter, 0, kAny},
        {"ga_short_write", nullptr, &s.gaShortWrite, 1, kAny},
        {"ga_request_delay_ms", &s.gaRequestDelayMs, nullptr, 0, kAny},
        {"swap_order_after", &s.swapOrderAfter, nullptr, 1, kAny},
    };
    for (const auto& k : numbers) {
        if (key != k.name) continue;
        if (!ParseNumber(value, k.max, n) || n < k.min)
            return why = "expected a whole number from " + std::to_string(k.min) + " to " + std::to_string(k.max),
                   false;
        if (k.plain)
            *k.plain = n;
        else
            *k.optional = n;
        return true;
    }
    return why = "unknown key " + QuoteForMessage(key), false;
}

}  // namespace

std::string DefaultSerial(std::size_t n) {
    char text[16];
    std::snprintf(text, sizeof text, "EMU%05zu", n);
    return text;
}

bool ParseScenario(const std::string& text, const std::string& name, Scenario& out, std::string& error) {
    std::vector<NoAccessKey> noAccess;
    std::istringstream in(text);
    std::string raw;
    int lineNumber = 0;
    while (std::getline(in, raw)) {
        ++lineNumber;
        // A '#' starts a comment unless it stands inside a quoted text.
        bool quoted = false;
        std::size_t cut = std::string::npos;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && quoted)
                ++i;
            else if (raw[i] == '"')
                quoted = !quoted;
            else if (raw[i] == '#' && !quoted) {
                cut = i;
                break;
            }
        }
        std::string line = Trim(raw.substr(0, cut));
        if (line.empty()) continue;
        std::size_t eq = line.find('=');
        std::string why;
        if (eq == std::string::npos) {
            why = "expected key = value";
        } else if (!ApplyKey(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)), out, why, noAccess, lineNumber)) {
            // why is set
        } else {
            continue;
        }
        error = name + ":" + std::to_string(lineNumber) + ": " + why;
        return false;
    }
    std::size_t attached = out.devices.size();
    for (const NoAccessKey& key : noAccess) {
        for (std::uint32_t place : key.places) {
            if (place > attached + out.attachedLater.size()) {
                error = name + ":" + std::to_string(key.line) + ": no_access names device " + std::to_string(place) +
                        "; the scenario has " + std::to_string(attached + out.attachedLater.size());
                return false;
            }
            (place <= attached ? out.devices[place - 1] : out.attachedLater[place - attached - 1]).noAccess = true;
        }
    }
    return true;
}

bool LoadScenario(const std::string& path, Scenario& out, std::string& error) {
    // Only a regular file, looked at before it is opened: a folder, a
    // device (/dev/zero) or a pipe is refused rather than read.
    std::error_code ec;
    auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::is_regular_file(status)) {
        error = QuoteForMessage(path) + ": not a scenario file (it must be a regular file)";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = QuoteForMessage(path) + ": cannot read the scenario file";
        return false;
    }
    std::string text(kScenarioSizeLimit + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > kScenarioSizeLimit) {
        error = QuoteForMessage(path) + ": larger than a scenario file may be (" + std::to_string(kScenarioSizeLimit) +
                " bytes)";
        return false;
    }
    return ParseScenario(text, path, out, error);
}

}  // namespace sim
