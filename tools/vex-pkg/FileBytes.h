#pragma once

#include <string>
#include <vector>

// Whole small files in and out (scripts, manifest inputs); large data is streamed elsewhere.
namespace FileBytes
{
bool Read(const std::string& path, std::string& out);
bool Read(const std::string& path, std::vector<unsigned char>& out);
}  // namespace FileBytes
