// Reading a D2XX call trace (docs/trace-format.md) back into the calls it
// records, for a replay (sim/replay.h).
//
// A trace is read whole, from a plain file or one compressed with gzip.
// Format versions 2 and later begin with their header line; a trace without one was
// written by an earlier program and is read as the current format, its
// listing and open lines also taken in version 1's form (by description,
// the naming not written). Comment lines are skipped. Anything else that
// is not a call line of the format is an error naming the line: a trace
// file of any bytes gives a message, never a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/d2xx.h"

namespace sim {

// The most text a trace may hold once uncompressed, and the most a file
// may hold as it is: far beyond the longest update (a whole 16 MiB PROM
// gives about 100 MB of trace), short of exhausting the memory.
constexpr std::size_t kTraceSizeLimit = std::size_t{1} << 30;

// How a listing or an open named the device.
enum class Naming { None, Description, Serial, Location };

// FT_ListDevices' three forms, as the trace writes them.
enum class Listing { Count, ByIndex, OtherFlags };

// One call as the trace records it: its arguments and what it returned.
// The same form holds a call the program makes in a replay (its results
// then unused), so that the two are compared field by field.
struct RecordedCall {
    D2xxCall call = D2xxCall::Close;
    std::uint64_t ms = 0;      // the program's clock when the call was made
    std::size_t line = 0;      // in the trace file, from 1
    FT_STATUS status = FT_OK;  // returned

    // Arguments.
    Listing listing = Listing::Count;  // FT_ListDevices
    Naming naming = Naming::None;      // FT_ListDevices by index, FT_OpenEx
    // FT_ListDevices: the index, or the flags of another form; FT_OpenEx:
    // the location it named, or the flags when the device was not named;
    // FT_Read: the count asked;
    // FT_Purge: the mask; FT_SetTimeouts: the read time-out;
    // FT_SetLatencyTimer: the timer's ms.
    DWORD argument = 0;
    DWORD writeTimeout = 0;  // FT_SetTimeouts
    std::string sent;        // FT_Write: the bytes; FT_OpenEx: the text it named

    // Results.
    // FT_ListDevices count: the number, by index and location: the
    // location; FT_Write: the count written;
    // FT_GetQueueStatus, FT_GetStatus: the bytes received, then for the
    // latter the transmit queue and the event status.
    DWORD results[3] = {0, 0, 0};
    std::string got;  // FT_Read: the bytes read; FT_ListDevices by index: the text
};

// One image as the header names it: "-" for one that could not be read.
struct RecordedImage {
    std::string name;
    std::string size;    // decimal, or "-"
    std::string sha256;  // empty with "-"
};

struct RecordedTrace {
    int formatVersion = 1;       // 1: no header line
    std::string programVersion;  // from the header; empty without one
    // The chip's latency timer the recorded run set (ms): the header's
    // "latency <ms>"; the chip's default for a trace of a format before 4,
    // written by a program that left the timer as the driver had it; 0 for
    // a later trace that names none (a listing alone).
    unsigned latencyMs = 0;
    std::vector<RecordedImage> images;
    std::string driver;  // "d2xx", "libftdi", ... from the "# driver" line; empty without one
    std::vector<RecordedCall> calls;
};

// Whether the call is one the program makes over and over while it waits
// (FT_GetQueueStatus, FT_GetStatus): how often depends on the clock.
bool IsPolling(D2xxCall call);

// Reads the images among header fields: "<name> <size> <SHA-256>" or
// "<name> -" for each of gen.hex, genprom.hex and GEN.dat, as the header and
// DescribeImages (update/check_images.h) write them; other fields are
// skipped. False with `error` set when an image's size or digest is bad.
bool ReadImageFields(const std::string& text, std::vector<RecordedImage>& images, std::string& error);

// Reads "latency <ms>" among header fields, as the header of an update's
// trace writes it; 0 when there is none.
unsigned ReadLatencyField(const std::string& text);

// Parses the bytes of a trace file, plain or gzip-compressed; `name` is used
// in error messages ("name:line: ..."). False with `error` set.
bool ReadTraceBytes(const std::string& bytes, const std::string& name, RecordedTrace& out, std::string& error);

// Reads and parses a trace file: a regular file of at most kTraceSizeLimit
// bytes, plain or compressed with gzip.
bool LoadTrace(const std::string& path, RecordedTrace& out, std::string& error);

// A call in the trace's own form, "FT_Write 3A30 = 0 2", its byte data
// shortened to the first `maxBytes` bytes and their count;
// `withResults` false gives only the call and its arguments.
std::string DescribeCall(const RecordedCall& call, bool withResults, std::size_t maxBytes = 24);

}  // namespace sim
