#pragma once

#include "log/LogStream.h"

#include <fstream>
#include <string>
#include <vector>

// Points the process-wide log at a file for the life of a test and hands back the messages written to it,
// without their time stamps.
class LogCapture
{
public:
    explicit LogCapture(const std::string& path) : path_(path)
    {
        vex::log::LogStream::Instance().Open(path_);
    }
    ~LogCapture() { vex::log::LogStream::Instance().Close(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Messages()
    {
        vex::log::LogStream::Instance().Close();
        std::vector<std::string> messages;
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line))
        {
            const std::string::size_type dash = line.find(" - ");
            messages.push_back(dash == std::string::npos ? line : line.substr(dash + 3));
        }
        vex::log::LogStream::Instance().Open(path_);
        return messages;
    }

private:
    std::string path_;
};
