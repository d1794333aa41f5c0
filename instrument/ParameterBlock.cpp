#include "instrument/ParameterBlock.h"

#include "base/ByteOrder.h"
#include "base/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vex::instrument
{
namespace
{
// A recognisable header: the reader only clears it, so a block that was read shows zeros here.
const char kHeader[ParameterBlock::kHeaderSize] = "vex-pkg-fetch";
}  // namespace

bool ParameterBlock::encode(uint32_t flags, const std::string& packagePath, const std::string& logName,
                            std::string& block, std::string& why)
{
    for (const std::string* text : {&packagePath, &logName})
    {
        if (text->size() + 1 > kMaxStringSize || text->find('\0') != std::string::npos)
        {
            why = "\"" + *text + "\" does not fit the parameter block (at most " +
                  std::to_string(kMaxStringSize - 1) + " bytes, no NUL)";
            return false;
        }
    }
    std::string bytes(kStringsOffset, '\0');
    std::memcpy(&bytes[0], kHeader, kHeaderSize);
    uint8_t word[4];
    base::ByteOrder::StoreLe32(word, flags);
    std::memcpy(&bytes[kFlagsOffset], word, sizeof word);
    bytes += packagePath;
    bytes += '\0';
    bytes += logName;
    bytes += '\0';
    block.swap(bytes);
    return true;
}

bool ParameterBlock::write(const std::string& devicePath, const std::string& block, std::string& why)
{
    if (block.size() > kBlockSize)
    {
        why = "the parameter block is longer than " + std::to_string(kBlockSize) + " bytes";
        return false;
    }
    base::UniqueFd fd(::open(devicePath.c_str(), O_WRONLY | O_DSYNC | O_CLOEXEC));
    if (!fd.valid())
    {
        why = "cannot open " + devicePath + " (" + std::strerror(errno) + ")";
        return false;
    }
    size_t written = 0;
    // Each write moves on or fails; the block is at most 64 KiB.
    while (written < block.size())
    {
        const ssize_t n = ::pwrite(fd.get(), block.data() + written, block.size() - written,
                                   kOcmRamAddress + off_t(written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            why = "cannot write the parameter block to " + devicePath + " (" + std::strerror(errno) + ")";
            return false;
        }
        written += size_t(n);
    }
    if (!fd.close())
    {
        why = "cannot close " + devicePath + " (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

}  // namespace vex::instrument
