#include "log/Log.h"

#include "log/LogStream.h"

#include <boost/filesystem.hpp>

#include <cstring>
#include <fstream>

namespace vex::log
{
void Line(const std::string& text)
{
    LogStream::Instance().WriteLine(text);
}

void Detail(const std::string& text)
{
    Line("    " + text);
}

void SystemError(const std::string& path, int error)
{
    if (error != 0)
        Detail(path + ": " + std::strerror(error));
}

void CopyFileAndRemove(const std::string& path)
{
    {
        std::ifstream in(path);
        if (!in.is_open())
        {
            return;
        }
        std::string line;
        while (std::getline(in, line))
        {
            Detail(line);
        }
    }
    boost::system::error_code ec;
    boost::filesystem::remove(path, ec);
}

}  // namespace vex::log
