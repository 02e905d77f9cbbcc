#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#if defined(_WIN32)
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr char kFolder[] = "it is a folder, not a file";
constexpr char kNotRegular[] = "it is not a regular file (a pipe or a device)";

#if defined(_WIN32)
constexpr char kLink[] = "it is a link (a reparse point), which is not followed";

std::string SystemReason(DWORD error) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) text[--n] = '\0';
    return n > 0 ? text : "Windows error " + std::to_string(error);
}

// A stream on a disk file, or null after closing it: a named pipe or a
// device opened by its name is refused.
std::FILE* OnDiskOnly(std::FILE* file, std::string& reason) {
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) == FILE_TYPE_DISK) return file;
    std::fclose(file);
    reason = kNotRegular;
    return nullptr;
}
#else
constexpr char kLink[] = "it is a symbolic link, which is not followed";

// Whether the open descriptor is a regular file; closes it and gives the
// reason when it is not.
bool RegularOrClosed(int fd, std::string& reason) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        reason = std::strerror(errno);
    } else if (S_ISDIR(info.st_mode)) {
        reason = kFolder;
    } else if (!S_ISREG(info.st_mode)) {
        reason = kNotRegular;
    } else {
        return true;
    }
    close(fd);
    return false;
}

std::FILE* StreamOn(int fd, const char* mode, std::string& reason) {
    // Opened without waiting, in case it was a pipe; reads wait as usual.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, mode);
    if (!file) {
        reason = std::strerror(errno);
        close(fd);
    }
    return file;
}
#endif

}  // namespace

#if defined(_WIN32)

std::FILE* OpenRegularFile(const char* path, std::string& reason) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        reason = SystemReason(GetLastError());
        return nullptr;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        reason = kFolder;
        return nullptr;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (!file) {
        reason = std::strerror(errno);
        return nullptr;
    }
    return OnDiskOnly(file, reason);
}

bool RefusedForWriting(const char* path, std::string& reason) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;  // nothing there yet
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        reason = kLink;
    else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        reason = kFolder;
    else if (attributes & FILE_ATTRIBUTE_DEVICE)
        reason = kNotRegular;
    else
        return false;
    return true;
}

std::FILE* CreateRegularFile(const char* path, std::string& reason) {
    if (RefusedForWriting(path, reason)) return nullptr;
    std::FILE* file = std::fopen(path, "w+b");
    if (!file) {
        reason = std::strerror(errno);
        return nullptr;
    }
    return OnDiskOnly(file, reason);
}

bool CanWriteFile(const char* path, std::string& reason) {
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file =
        CreateFileA(path, FILE_APPEND_DATA, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND)
        // The system removes the file as soon as it is closed.
        file = CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = SystemReason(GetLastError());
        return false;
    }
    CloseHandle(file);
    return true;
}

bool SyncToDisk(std::FILE* file) {
    if (std::fflush(file) != 0) return false;
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != 0;
}

#else

std::FILE* OpenRegularFile(const char* path, std::string& reason) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return nullptr;
    }
    if (!RegularOrClosed(fd, reason)) return nullptr;
    return StreamOn(fd, "rb", reason);
}

bool RefusedForWriting(const char* path, std::string& reason) {
    struct stat info;
    if (lstat(path, &info) != 0) return false;  // nothing there yet, or nothing we can see
    if (S_ISLNK(info.st_mode))
        reason = kLink;
    else if (S_ISDIR(info.st_mode))
        reason = kFolder;
    else if (!S_ISREG(info.st_mode))
        reason = kNotRegular;
    else
        return false;
    return true;
}

std::FILE* CreateRegularFile(const char* path, std::string& reason) {
    if (RefusedForWriting(path, reason)) return nullptr;
    // O_NOFOLLOW: a link put there since the look above is refused too.
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        reason = errno == ELOOP ? kLink : std::strerror(errno);
        return nullptr;
    }
    if (!RegularOrClosed(fd, reason)) return nullptr;
    return StreamOn(fd, "w+b", reason);
}

bool CanWriteFile(const char* path, std::string& reason) {
    int fd = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd >= 0) unlink(path);
    }
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

bool SyncToDisk(std::FILE* file) {
    if (std::fflush(file) != 0) return false;
    // No descriptor (a stream in memory), or one that cannot be synced (a
    // pipe, a terminal): nothing to write to a disk.
    int fd = fileno(file);
    return fd < 0 || fsync(fd) == 0 || errno == EINVAL;
}

#endif

namespace {

// The size of an open file as the system gives it; 0 when it gives none.
std::uint64_t SystemSize(std::FILE* file) {
#if defined(_WIN32)
    struct _stat64 info;
    if (_fstat64(_fileno(file), &info) != 0 || info.st_size < 0) return 0;
#else
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || info.st_size < 0) return 0;
#endif
    return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace

FileContents ReadWholeFile(std::FILE* file, std::uint64_t limit) {
    FileContents contents;
    std::uint64_t expected = SystemSize(file);
    if (expected > limit) {
        contents.tooLarge = true;
        contents.size = expected;
        return contents;
    }
    // Read through a small buffer rather than straight into the string,
    // which would have to be zero-filled first: one pass over the bytes.
    std::string& bytes = contents.bytes;
    bytes.reserve(static_cast<std::size_t>(expected));
    char chunk[64 * 1024];
    for (;;) {
        errno = 0;
        std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
        // A file that grows while it is read is cut off one byte beyond the limit.
        bytes.append(chunk, static_cast<std::size_t>(std::min<std::uint64_t>(got, limit + 1 - bytes.size())));
        if (bytes.size() > limit) {
            contents.tooLarge = true;
            contents.size = std::max<std::uint64_t>(SystemSize(file), bytes.size());
            break;
        }
        if (got < sizeof chunk) {
            if (std::ferror(file)) contents.readError = std::strerror(errno != 0 ? errno : EIO);
            break;
        }
    }
    if (contents.tooLarge || !contents.readError.empty())
        std::string().swap(bytes);
    else
        contents.size = bytes.size();
    return contents;
}

namespace {

// The temporary name ReplaceWholeFile writes first: beside the file, so that
// the rename stays on one file system, and with the process id, so that two
// programs that write the same file never share it.
std::string TemporaryNameFor(const std::string& path) {
#if defined(_WIN32)
    unsigned long id = GetCurrentProcessId();
#else
    unsigned long id = static_cast<unsigned long>(getpid());
#endif
    return path + "." + std::to_string(id) + ".tmp";
}

// Renames `from` to `to`, replacing a file there, and has the rename itself
// reach the disk.
bool RenameOver(const std::string& from, const std::string& to, std::string& reason) {
#if defined(_WIN32)
    if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        reason = SystemReason(GetLastError());
        return false;
    }
#else
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    // The folder's entry: without it a crash could leave the old file.
    std::string folder = std::filesystem::path(to).parent_path().string();
    int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
#endif
    return true;
}

}  // namespace

bool ReplaceWholeFile(const std::string& path, const std::string& content, std::string& reason) {
    std::string temporary = TemporaryNameFor(path);
    std::FILE* file = CreateRegularFile(temporary.c_str(), reason);
    if (!file) return false;
    bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size() && SyncToDisk(file);
    int error = errno;
    if (std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) reason = std::strerror(error != 0 ? error : EIO);
    if (written && RenameOver(temporary, path, reason)) return true;
    std::remove(temporary.c_str());
    return false;
}

bool CanReplaceWholeFile(const std::string& path, std::string& reason) {
    return !RefusedForWriting(path.c_str(), reason) && CanWriteFile(TemporaryNameFor(path).c_str(), reason);
}
