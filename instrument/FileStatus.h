#pragma once

#include <string>

namespace vex::instrument
{
// What is at a path, asked without exceptions: a file system that cannot answer counts as "no".

// True when something is at `path`, following a link to what it names (a dangling link is not there).
bool PathExists(const std::string& path);

// True when `path` itself is a symbolic link, whatever it points to.
bool IsSymlink(const std::string& path);

}  // namespace vex::instrument
