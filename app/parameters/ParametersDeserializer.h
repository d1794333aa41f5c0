#pragma once

#include "app/parameters/IParametersIO.h"

#include <cstddef>
#include <string>

namespace vex::app
{
// Decodes the parameter block (little-endian):
//   0   16 bytes  header, cleared once the block has been read so that it is used only once
//   16  4 bytes   not used here
//   20  int32     installFlags (bit 0 requests formatting)
//   24            package path, NUL-terminated, then the log file name, NUL-terminated
class ParametersDeserializer
{
public:
    static constexpr std::size_t kHeaderSize = 16;
    static constexpr std::size_t kFlagsOffset = 20;
    static constexpr std::size_t kStringsOffset = 24;
    // Each string with its NUL fits in this many bytes.
    static constexpr std::size_t kMaxStringSize = 2048;

    // The accessor is not owned.
    explicit ParametersDeserializer(IParametersIO* io);

    // False, with the outputs and the block untouched, when the block cannot be opened or a string has no
    // NUL within its limit.
    bool Read(std::string& pkgFileName, std::string& logFileName, int& installFlags);

private:
    IParametersIO* io_;
    unsigned char* block_ = nullptr;
};

}  // namespace vex::app
