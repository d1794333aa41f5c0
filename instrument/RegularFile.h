#pragma once

#include "base/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vex::instrument
{
// A file read as data: opened without following a link at its path and without blocking, then accepted only
// when it is a regular file. A FIFO would block the reader for ever, a device would feed it without end,
// and a link could hand it any file of the system: lists, members to hash and scripts come from packages.
// Reads are bounded and a read error is an error, never taken for the end of the data.
class RegularFile
{
public:
    enum class Line
    {
        kRead,     // a line (possibly the last, without its newline) is in the string
        kEnd,      // no more data
        kTooLong,  // the line reaches the given bound before its end
        kError     // the read itself failed
    };

    RegularFile() = default;
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    // False when nothing can be opened at `path`, a link is there, or it is not a regular file.
    bool Open(const std::string& path);
    // The same for `name` in the directory `dirFd` (AT_FDCWD: `name` is a path).
    bool Open(int dirFd, const std::string& name);
    bool IsOpen() const { return fd_.valid(); }
    // The size found when it was opened.
    int64_t Size() const { return size_; }
    int Descriptor() const { return fd_.get(); }
    void Close();

    // The next line without its newline, at most `maxLength` bytes long.
    Line ReadLine(std::string& line, std::size_t maxLength);
    // Up to `length` bytes; 0 at the end, -1 on an error (interrupted reads are retried).
    long long Read(void* buffer, std::size_t length);

    // The regular file at `path` as a stream for reading, or null (as Open refuses).
    static std::FILE* OpenStream(const std::string& path);
    static std::FILE* OpenStream(int dirFd, const std::string& name);

    // `name` in the directory `dirFd` (AT_FDCWD: `name` is a path) opened to be written anew: created when
    // absent (mode 0666 less the umask), never through a link, and emptied only once its descriptor shows a
    // regular file. It is opened without truncation and without blocking, so that a device, FIFO or socket
    // found there (or swapped in at the last moment) is refused before a byte reaches it or it is cut:
    // `notRegular` is set then. A directory there fails with EISDIR. Invalid, errno set, on failure.
    static base::UniqueFd OpenForWriting(int dirFd, const std::string& name, bool& notRegular);

    // The whole of the regular file at `path` into `text`. False when it cannot be opened as a regular file,
    // is larger than `maxSize`, has a line longer than `maxLine`, or a read fails.
    static bool ReadAll(const std::string& path, int64_t maxSize, std::size_t maxLine, std::string& text);
    // The same for `name` in the directory `dirFd`.
    static bool ReadAll(int dirFd, const std::string& name, int64_t maxSize, std::size_t maxLine,
                        std::string& text);

private:
    bool Fill();

    base::UniqueFd fd_;
    int64_t size_ = 0;
    char buffer_[65536];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool failed_ = false;
};

}  // namespace vex::instrument
