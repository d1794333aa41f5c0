#pragma once

#include <cstddef>
#include <string>

namespace vex::fleet
{
// Small state files of the update partition, written so that a power cut leaves either the old content or
// the new one: the bytes go to PATH.tmp, which is synced, renamed over PATH, and then the folder is synced so
// that the rename itself lasts. Reading is bounded. Nothing throws; failures are false with a one-line
// reason.
namespace AtomicFile
{
bool write(const std::string& path, const std::string& bytes, std::string& why);
// False when the file cannot be read or holds more than `largest` bytes; `missing` says whether it was
// simply not there.
bool read(const std::string& path, size_t largest, std::string& bytes, bool& missing, std::string& why);
// Syncs the folder `path`, so that renames and removals in it last.
bool syncFolder(const std::string& path, std::string& why);
}  // namespace AtomicFile

}  // namespace vex::fleet
