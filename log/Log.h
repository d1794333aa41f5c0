#pragma once

#include <string>

// The one way product code writes to the installation log. The lines go to the process-wide LogStream
// (LogStream::Instance()); nothing is written while it is closed.
namespace vex::log
{
// One line of the installation log.
void Line(const std::string& text);
// One detail line, four spaces in: "    TEXT".
void Detail(const std::string& text);
// A detail line with the system's text for `error` (an errno value) about `path`: "    PATH: TEXT". Nothing
// when `error` is 0, since then there is no text to give.
void SystemError(const std::string& path, int error);
// Copies a script's output file into the log, each line four spaces in, and deletes it. A file that cannot be
// opened copies nothing.
void CopyFileAndRemove(const std::string& path);

}  // namespace vex::log
