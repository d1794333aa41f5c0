#pragma once

#include <fstream>
#include <string>

namespace vex::log
{
// The installation log: one text file that every part of the program writes time-stamped lines to.
// The program uses the single process-wide instance (Instance); the class can also be made on its own,
// which is how its own tests run without disturbing the shared one. Code that logs through Instance()
// is tested by opening Instance() on a file in a temporary directory and closing it afterwards.
class LogStream
{
public:
    static LogStream& Instance();

    LogStream() = default;
    ~LogStream();
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    // Opens `path` for appending (existing lines stay) and remembers it, so that a caller may close the
    // log and later re-open the same file. A log already open is closed first.
    bool Open(const std::string& path);
    // Writes "<local time> - <message>" and a newline. False when no file is open or the write failed.
    // Control characters in the message are written escaped ("\n", "\t", "\x1b"): names and list lines
    // come from packages, and a raw newline in one would forge a line of its own.
    bool WriteLine(const char* message);
    bool WriteLine(const std::string& message) { return WriteLine(message.c_str()); }
    void Close();

    bool IsOpen() const { return stream_.is_open(); }
    // The path of the last successful Open (kept after Close).
    const std::string& Path() const { return path_; }

    // `message` with its control characters escaped, as WriteLine writes it.
    static std::string Printable(const char* message);

private:
    std::ofstream stream_;
    std::string path_;
};

}  // namespace vex::log
