// The image check that begins every update, before any device call: the
// three images are read once each and checked, and "gn.hex" must be a file
// that may be written where it goes. An update whose images
// cannot succeed stops here, with the device untouched.
//
// What passed is remembered (size and SHA-256), so that a stage that opens
// an image minutes later confirms it is still the file that was checked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct CheckedImage {
    const char* name = "";              // "gen.hex"
    int status = 0;                     // the status its failures give: GEN_HEX_OPEN_FAILURE, ...
    bool read = false;                  // a regular file was found and read to its end
    std::uint64_t size = 0;             // when read
    std::string sha256;                 // when read
    std::vector<std::string> failures;  // log lines; empty: it passed
    std::vector<std::string> summary;   // the --check report's lines
};

struct ImagesCheck {
    // gen.hex, gn.hex, genprom.hex, GEN.dat: the order in which failures count.
    std::vector<CheckedImage> images;
    int status = 0;            // of the first image that failed; 0: all passed
    std::string firstFailure;  // its first failure as one line
};

// Checks the images in the working folder; logs nothing. The result stays
// in force for OpenCheckedImage until the next check.
const ImagesCheck& CheckImages();

// Logs every failure line of the check.
void LogImageFailures(const ImagesCheck& check);

// The images as the run log's header and the trace's header give them:
// "gen.hex 4931 <sha256>" each, "gen.hex -" for one that was not read.
std::string DescribeImages(const ImagesCheck& check);

// How a stage opens an image: a regular file only, and, if the check passed
// it, the same size and SHA-256 as then (read once more, then rewound).
// Null after the lines "failed to open <name>" and the reason, or
// "<name> changed since the check"; the stage then fails with its status.
std::FILE* OpenCheckedImage(const char* name);

// Forgets the last check; for the tests, between runs.
void ResetImageCheck();
