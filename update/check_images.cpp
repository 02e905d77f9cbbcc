#include "update/check_images.h"

#include <algorithm>

#include "image/image_check.h"
#include "platform/files.h"
#include "platform/log.h"
#include "protocol/status.h"
#include "update/stage.h"

namespace {

ImagesCheck g_check;
bool g_checked = false;

CheckedImage CheckOne(const char* name, int status, ImageCheck (*checker)(std::FILE*)) {
    CheckedImage image;
    image.name = name;
    image.status = status;
    std::string reason;
    std::FILE* file = OpenRegularFile(name, reason);
    if (!file) {
        image.failures = {std::string("failed to open ") + name, reason};
        return image;
    }
    ImageCheck result = checker(file);
    std::fclose(file);
    image.read = true;
    image.size = result.size;
    image.sha256 = result.sha256;
    image.failures = std::move(result.problems);
    image.summary = std::move(result.summary);
    return image;
}

// gn.hex is written by the conversion: whatever stands at its name now must
// be a file that may be replaced, never a link to a file elsewhere, and the
// program must be allowed to write it there (a folder it may not write).
CheckedImage CheckConversionOutput() {
    CheckedImage image;
    image.name = "gn.hex";
    image.status = GN_HEX_OPEN_FAILURE;
    std::string reason;
    if (RefusedForWriting(image.name, reason) || !CanWriteFile(image.name, reason))
        image.failures = {"failed to open gn.hex", reason};
    return image;
}

const CheckedImage* Find(const char* name) {
    for (const CheckedImage& image : g_check.images)
        if (std::string(image.name) == name) return &image;
    return nullptr;
}

}  // namespace

const ImagesCheck& CheckImages() {
    g_check = ImagesCheck{};
    g_check.images.push_back(CheckOne("gen.hex", GEN_HEX_OPEN_FAILURE, CheckGenHex));
    g_check.images.push_back(CheckConversionOutput());
    g_check.images.push_back(CheckOne("genprom.hex", PROM_HEX_OPEN_FAILURE, CheckPromHex));
    g_check.images.push_back(CheckOne("GEN.dat", GEN_DAT_OPEN_FAILURE, CheckGateArrayImage));
    for (const CheckedImage& image : g_check.images) {
        if (image.failures.empty() || g_check.status != 0) continue;
        g_check.status = image.status;
        // "failed to open gen.hex" and its reason make one line.
        g_check.firstFailure = image.read ? image.failures[0] : image.failures[0] + ": " + image.failures[1];
    }
    g_checked = true;
    return g_check;
}

void LogImageFailures(const ImagesCheck& check) {
    for (const CheckedImage& image : check.images)
        for (const std::string& line : image.failures) Log("%s\n", line.c_str());
}

std::string DescribeImages(const ImagesCheck& check) {
    std::string text;
    for (const CheckedImage& image : check.images) {
        if (std::string(image.name) == "gn.hex") continue;  // written by the update, not read
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

std::FILE* OpenCheckedImage(const char* name) {
    std::string reason;
    std::FILE* file = OpenRegularFile(name, reason);
    if (!file) {
        Log("failed to open %s\n%s\n", name, reason.c_str());
        return nullptr;
    }
    const CheckedImage* checked = g_checked ? Find(name) : nullptr;
    if (checked && checked->read) {
        ImageFingerprint now = FingerprintImage(file);
        std::rewind(file);
        if (now.size != checked->size || now.sha256 != checked->sha256 || !now.readError.empty()) {
            std::fclose(file);
            Log("%s changed since the check\n", name);
            return nullptr;
        }
    }
    return AdoptImageFile(file);
}

void ResetImageCheck() {
    g_check = ImagesCheck{};
    g_checked = false;
}
