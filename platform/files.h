// Opening the image files safely. The program runs elevated on Windows, in
// a folder anyone may have written to: what stands at an image's name may
// be a folder, a pipe (which would hold a read for ever), a device, or a
// link to a file elsewhere. These open only regular files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Opens an existing regular file for reading ("rb"). A folder, a pipe or a
// device is refused without being waited on. Null otherwise, with the reason
// in one line: the system's ("No such file or directory") or our own ("it is
// a folder, not a file").
std::FILE* OpenRegularFile(const char* path, std::string& reason);

// Creates or empties a file for writing and reading ("w+b"). What already
// stands at that name must be a regular file: a symbolic link (on Windows,
// any reparse point) is refused, never followed, and so is a folder, a pipe
// or a device. Null otherwise, with the reason in one line.
std::FILE* CreateRegularFile(const char* path, std::string& reason);

// Whether CreateRegularFile would refuse what stands at path now (nothing
// there is fine); the reason in one line when it would.
bool RefusedForWriting(const char* path, std::string& reason);

// What ReadWholeFile found in an open file.
struct FileContents {
    std::string bytes;       // the whole file; empty when it is too large or a read failed
    std::uint64_t size = 0;  // its size: that of bytes, or the system's when too large
    bool tooLarge = false;   // more than the limit: refused without being read
    std::string readError;   // the system's text for a failed read; empty if none
};

// Reads a freshly opened file whole into memory when it holds at most
// `limit` bytes. The size the system gives is looked at first, so that a
// larger file is refused unread; a file that grows while it is read is
// refused after limit + 1 bytes.
FileContents ReadWholeFile(std::FILE* file, std::uint64_t limit);

// Whether a file can be written at path now, found out without changing
// what is there: an existing file is opened for appending and closed
// again, unchanged; where there is none, one is created in its folder and
// removed at once. The system's reason in one line when it cannot.
bool CanWriteFile(const char* path, std::string& reason);

// Hands what the stream has buffered to the system and has the system write
// the file to the disk (fsync, FlushFileBuffers), so that it survives a
// crash of the machine. False when either fails.
bool SyncToDisk(std::FILE* file);

// Writes `content` to a file of its own beside `path` (a temporary name
// that holds the process id), has it written to the disk, and renames it to
// `path`, replacing what was there: a reader finds the old file or the new
// one whole, never a part of it. False with the system's reason in one line
// (and no temporary file left) when any step fails.
bool ReplaceWholeFile(const std::string& path, const std::string& content, std::string& reason);

// Whether ReplaceWholeFile could write `path` now, found out without changing
// it: what stands there is a file CreateRegularFile would take (or
// nothing), and a file can be created in its folder. The reason in one
// line when it cannot.
bool CanReplaceWholeFile(const std::string& path, std::string& reason);
