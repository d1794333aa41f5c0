#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vex::instrument
{
// The parameter block: how one program hands an installation to the installer across a restart, in the
// 64 KiB of the processor's on-chip RAM, reached through the physical-memory device. Layout
// (little-endian):
//   0   16 bytes  header, cleared by the reader once the block has been read so that it is used only once
//   16  4 bytes   not used
//   20  int32     installFlags (bit 0 requests formatting)
//   24            package path, NUL-terminated, then the log file name, NUL-terminated
class ParameterBlock
{
public:
    static constexpr size_t kBlockSize = 0x10000;
    static constexpr size_t kHeaderSize = 16;
    static constexpr size_t kFlagsOffset = 20;
    static constexpr size_t kStringsOffset = 24;
    // Each string with its NUL fits in this many bytes.
    static constexpr size_t kMaxStringSize = 2048;
    // Physical address of the on-chip RAM, i.e. the block's offset in the physical-memory device.
    static constexpr off_t kOcmRamAddress = 0x40200000;
    static constexpr const char* kDefaultDevicePath = "/dev/mem";

    // The block's bytes for an installation; false with `why` when a string does not fit or holds a NUL.
    static bool encode(uint32_t flags, const std::string& packagePath, const std::string& logName,
                       std::string& block, std::string& why);

    // Writes `block` at the on-chip RAM's address in `devicePath`, synchronously. False with `why`.
    static bool write(const std::string& devicePath, const std::string& block, std::string& why);
};

}  // namespace vex::instrument
