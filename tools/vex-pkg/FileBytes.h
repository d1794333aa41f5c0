#pragma once

#include <string>
#include <vector>

namespace vex::tools
{
// Whole small files in and out (scripts, manifest inputs); large data is streamed elsewhere.
namespace FileBytes
{
bool Read(const std::string& path, std::string& out);
bool Read(const std::string& path, std::vector<unsigned char>& out);
}  // namespace FileBytes

}  // namespace vex::tools
