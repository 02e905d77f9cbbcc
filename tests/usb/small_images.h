// Image files for runs in real time, kept small so that a run takes little
// more than the update's fixed pauses: the samples' own bytes (samples/),
// cut down.
#pragma once

#include <cstddef>
#include <map>
#include <string>

// An image file of samples/, whole.
std::string SampleImage(const char* name);

// The three images by file name: the first `records` records of the sample
// gen.hex (with the lines before them, and an end-of-file record), the
// sample genprom.hex's first two pages, and `gateArrayBytes` of GEN.dat (the
// sample's bytes, repeated as needed).
std::map<std::string, std::string> SmallImages(std::size_t records, std::size_t gateArrayBytes);
