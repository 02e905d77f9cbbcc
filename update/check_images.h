// The image check that begins every update, before any device call: the
// three images are read once each, whole, into memory and checked, and
// "gn.hex" must be a file that may be written where it goes. An update whose
// images cannot succeed stops here, with the device untouched.
//
// The bytes that passed are kept for the run: the stages send those, never
// the files again, so the digests in the run log and the trace describe
// exactly what the device was sent, whatever happens to the files meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CheckedImage {
    const char* name = "";              // "gen.hex"
    int status = 0;                     // the status its failures give: GEN_HEX_OPEN_FAILURE, ...
    bool read = false;                  // a regular file within its bound was read whole
    std::uint64_t size = 0;             // when read
    std::string sha256;                 // when read
    std::string dataSpan;               // gen.hex, when read: the addresses its data spans
    std::string bytes;                  // when read: the image as checked
    std::vector<std::string> failures;  // log lines; empty: it passed
    std::vector<std::string> summary;   // the --check report's lines
};

struct ImagesCheck {
    // gen.hex, gn.hex, genprom.hex, GEN.dat: the order in which failures count.
    std::vector<CheckedImage> images;
    int status = 0;            // of the first image that failed; 0: all passed
    std::string firstFailure;  // its first failure as one line
};

// Checks the images in the working folder; logs nothing. The result, and
// the images' bytes, stay in force for ImageToSend until the next check or
// ResetImageCheck.
const ImagesCheck& CheckImages();

// The check in force: the last CheckImages, until ResetImageCheck.
const ImagesCheck& CheckInForce();

// The same check, for a look before the run (the dialog's before Start):
// the result is the caller's alone, and nothing is put in force. Safe on
// any thread while no run is under way (gn.hex may be created and removed
// again to find out whether it can be written).
ImagesCheck CheckImageFiles();

// What the technician sees of the images before a run, one line each:
// "gen.hex: 4931 bytes, SHA-256 3f2a9c1b7d4e, data 0x0000-0x1FFF",
// "genprom.hex: 12290 bytes, SHA-256 ...", "GEN.dat: ...", each with the
// first 12 hexadecimal digits of its digest; for an image that failed, its
// first failure ("gen.hex:12: checksum is 3F, the record needs 40 (and 2
// more problems)"); gn.hex only when it cannot be written.
std::vector<std::string> ImagesSummary(const ImagesCheck& check);

// Logs every failure line of the check.
void LogImageFailures(const ImagesCheck& check);

// The images as the run log's header and the trace's header give them:
// "gen.hex 4931 <sha256>" each, "gen.hex -" for one that was not read.
std::string DescribeImages(const ImagesCheck& check);

// The bytes a stage sends of an image. "gen.hex", "genprom.hex", "GEN.dat":
// those the check in force read; when no check read the image (a stage
// called on its own), the file as the check would read it now, its content
// unchecked. "gn.hex": the firmware text the conversion made, or, when
// nothing was converted since the last check, the file. Null after the lines
// "failed to open <name>" and the reason; the stage then fails with its
// status. Valid until the next call.
const std::string* ImageToSend(const char* name);

// Keeps the firmware text that the conversion made of gen.hex and wrote to
// "gn.hex", so that the processor programming sends exactly that.
void KeepConvertedFirmware(std::string text);

// Forgets the last check, the images it holds and the converted firmware:
// at the end of a run, and for the tests.
void ResetImageCheck();
