#include "log/LogStream.h"

#include <ctime>

namespace vex::log
{
LogStream& LogStream::Instance()
{
    static LogStream instance;
    return instance;
}

LogStream::~LogStream()
{
    Close();
}

bool LogStream::Open(const std::string& path)
{
    Close();
    stream_.clear();
    stream_.open(path, std::ios::out | std::ios::app);
    if (!stream_.is_open())
    {
        stream_.clear();
        return false;
    }
    path_ = path;
    return true;
}

std::string LogStream::Printable(const char* message)
{
    std::string text;
    for (const char* p = message; p != nullptr && *p != '\0'; ++p)
    {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != 0x7F)
        {
            text += *p;
            continue;
        }
        switch (c)
        {
            case '\n':
                text += "\\n";
                break;
            case '\r':
                text += "\\r";
                break;
            case '\t':
                text += "\\t";
                break;
            default:
            {
                static const char kHex[] = "0123456789abcdef";
                text += "\\x";
                text += kHex[c >> 4];
                text += kHex[c & 0xF];
            }
        }
    }
    return text;
}

bool LogStream::WriteLine(const char* message)
{
    if (!stream_.is_open())
    {
        return false;
    }
    char stamp[40] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr)
    {
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %X", &local);
    }
    // Each line is pushed to the file at once: the log matters most when the run ends in a crash or a
    // power cut, and lines still sitting in a buffer would be lost exactly then.
    stream_ << stamp << " - " << Printable(message) << '\n' << std::flush;
    return !stream_.bad() && !stream_.fail();
}

void LogStream::Close()
{
    if (!stream_.is_open())
    {
        return;
    }
    if (stream_.good())
    {
        stream_.flush();
    }
    // Closed even after a failed write: a stream left open in a failed state could never be re-opened,
    // and the rest of the run's lines would be lost.
    stream_.close();
    stream_.clear();
}

}  // namespace vex::log
