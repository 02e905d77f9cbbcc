#include "update/check_images.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "image/image_check.h"
#include "platform/files.h"
#include "platform/log.h"
#include "protocol/status.h"

namespace {

// An image file: how it is read, checked and refused.
struct ImageKind {
    const char* name;
    int status;
    std::uint64_t maxBytes;
    std::string (*tooLarge)(std::uint64_t size);
    ImageCheck (*check)(std::string_view bytes);  // null for gn.hex, which the update writes
};

// gn.hex is read back only by a stage called on its own. No conversion
// makes more than twice its input and one cut record at a cut-short end.
constexpr std::uint64_t kGnHexMaxBytes = 2 * kGenHexMaxBytes + 1024;

std::string GnHexTooLarge(std::uint64_t size) {
    return "gn.hex: " + std::to_string(size) + " bytes; the conversion never makes more than " +
           std::to_string(kGnHexMaxBytes);
}

const ImageKind kGenHex = {"gen.hex", GEN_HEX_OPEN_FAILURE, kGenHexMaxBytes, GenHexTooLarge, CheckGenHex};
const ImageKind kGnHex = {"gn.hex", GN_HEX_OPEN_FAILURE, kGnHexMaxBytes, GnHexTooLarge, nullptr};
const ImageKind kPromHex = {"genprom.hex", PROM_HEX_OPEN_FAILURE, kPromHexMaxBytes, PromHexTooLarge, CheckPromHex};
const ImageKind kGateArray = {"GEN.dat", GEN_DAT_OPEN_FAILURE, kGateArrayMaxBytes, GateArrayImageTooLarge,
                              CheckGateArrayImage};

ImagesCheck g_check;
std::string g_convertedFirmware;
bool g_converted = false;
std::string g_readAlone;  // an image a stage called on its own has read

// Reads an image file whole, within its bound. False when it cannot be had,
// with the reason in one line: why it cannot be opened (`opened` false), or
// its failed read or its size.
bool ReadImage(const ImageKind& kind, std::string& bytes, std::string& reason, bool& opened) {
    std::FILE* file = OpenRegularFile(kind.name, reason);
    opened = file != nullptr;
    if (!file) return false;
    FileContents contents = ReadWholeFile(file, kind.maxBytes);
    std::fclose(file);  // opened for reading only: nothing is lost at the close
    if (!contents.readError.empty()) {
        reason = std::string(kind.name) + ": read error: " + contents.readError;
        return false;
    }
    if (contents.tooLarge) {
        reason = kind.tooLarge(contents.size);
        return false;
    }
    bytes = std::move(contents.bytes);
    return true;
}

CheckedImage CheckOne(const ImageKind& kind) {
    CheckedImage image;
    image.name = kind.name;
    image.status = kind.status;
    std::string bytes, reason;
    bool opened = false;
    if (!ReadImage(kind, bytes, reason, opened)) {
        if (opened)
            image.failures = {reason};
        else
            image.failures = {std::string("failed to open ") + kind.name, reason};
        return image;
    }
    ImageCheck result = kind.check(bytes);
    image.read = true;
    image.size = result.size;
    image.sha256 = result.sha256;
    image.dataSpan = result.dataSpan;
    image.bytes = std::move(bytes);
    image.failures = std::move(result.problems);
    image.summary = std::move(result.summary);
    return image;
}

// gn.hex is written by the conversion: whatever stands at its name now must
// be a file that may be replaced, never a link to a file elsewhere, and the
// program must be allowed to write it there (a folder it may not write).
CheckedImage CheckConversionOutput() {
    CheckedImage image;
    image.name = kGnHex.name;
    image.status = kGnHex.status;
    std::string reason;
    if (RefusedForWriting(image.name, reason) || !CanWriteFile(image.name, reason))
        image.failures = {"failed to open gn.hex", reason};
    return image;
}

// An image's first failure as one line: "failed to open gen.hex" and its
// reason make one.
std::string FirstFailure(const CheckedImage& image) {
    return image.failures.size() > 1 && !image.read ? image.failures[0] + ": " + image.failures[1] : image.failures[0];
}

// The digits of a digest that the summary shows: enough to tell two
// versions of an image apart at a glance.
constexpr std::size_t kShownDigestDigits = 12;

const CheckedImage* Find(std::string_view name) {
    for (const CheckedImage& image : g_check.images)
        if (name == image.name) return &image;
    return nullptr;
}

}  // namespace

ImagesCheck CheckImageFiles() {
    ImagesCheck check;
    check.images.push_back(CheckOne(kGenHex));
    check.images.push_back(CheckConversionOutput());
    check.images.push_back(CheckOne(kPromHex));
    check.images.push_back(CheckOne(kGateArray));
    for (const CheckedImage& image : check.images) {
        if (image.failures.empty() || check.status != 0) continue;
        check.status = image.status;
        check.firstFailure = FirstFailure(image);
    }
    return check;
}

const ImagesCheck& CheckImages() {
    ResetImageCheck();
    g_check = CheckImageFiles();
    return g_check;
}

const ImagesCheck& CheckInForce() { return g_check; }

std::vector<std::string> ImagesSummary(const ImagesCheck& check) {
    std::vector<std::string> lines;
    for (const CheckedImage& image : check.images) {
        if (!image.failures.empty()) {
            // "failed to open gen.hex" and its reason are one failure.
            std::size_t more =
                image.failures.size() - (image.read ? 1 : std::min<std::size_t>(2, image.failures.size()));
            std::string line = FirstFailure(image);
            if (more > 0) line += " (and " + std::to_string(more) + (more == 1 ? " more problem)" : " more problems)");
            lines.push_back(line);
        } else if (image.read) {
            std::string line = std::string(image.name) + ": " + std::to_string(image.size) + " bytes, SHA-256 " +
                               image.sha256.substr(0, kShownDigestDigits);
            if (!image.dataSpan.empty()) line += ", data " + image.dataSpan;
            lines.push_back(line);
        }
    }
    return lines;
}

void LogImageFailures(const ImagesCheck& check) {
    for (const CheckedImage& image : check.images)
        for (const std::string& line : image.failures) Log("%s\n", line.c_str());
}

std::string DescribeImages(const ImagesCheck& check) {
    std::string text;
    for (const CheckedImage& image : check.images) {
        if (std::string(image.name) == kGnHex.name) continue;  // written by the update, not read
        if (!text.empty()) text += ' ';
        text += image.name;
        if (!image.read) {
            text += " -";
            continue;
        }
        text += ' ';
        text += std::to_string(image.size);
        text += ' ';
        text += image.sha256;
    }
    return text;
}

const std::string* ImageToSend(const char* name) {
    std::string_view wanted = name;
    if (wanted == kGnHex.name && g_converted) return &g_convertedFirmware;
    if (const CheckedImage* checked = Find(wanted); checked && checked->read) return &checked->bytes;

    // A stage called on its own: the file as the check would read it now.
    const ImageKind* kind = &kGenHex;
    for (const ImageKind* candidate : {&kGnHex, &kPromHex, &kGateArray})
        if (wanted == candidate->name) kind = candidate;
    std::string reason;
    bool opened = false;
    if (!ReadImage(*kind, g_readAlone, reason, opened)) {
        Log("failed to open %s\n%s\n", name, reason.c_str());
        return nullptr;
    }
    return &g_readAlone;
}

void KeepConvertedFirmware(std::string text) {
    g_convertedFirmware = std::move(text);
    g_converted = true;
}

void ResetImageCheck() {
    g_check = ImagesCheck{};
    std::string().swap(g_convertedFirmware);
    g_converted = false;
    std::string().swap(g_readAlone);
}
