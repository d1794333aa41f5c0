#include "app/parameters/ParametersDeserializer.h"
#include "base/ByteOrder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace vex::app
{
namespace
{
// The string starting at `offset`, if it ends with a NUL within its size limit and within the block.
bool TakeString(const unsigned char* block, std::size_t offset, std::string& out, std::size_t& next)
{
    if (offset >= IParametersIO::kBlockSize)
    {
        return false;
    }
    const std::size_t limit =
        std::min(ParametersDeserializer::kMaxStringSize, IParametersIO::kBlockSize - offset);
    const void* nul = std::memchr(block + offset, '\0', limit);
    if (nul == nullptr)
    {
        return false;
    }
    const std::size_t length = static_cast<const unsigned char*>(nul) - (block + offset);
    out.assign(reinterpret_cast<const char*>(block + offset), length);
    next = offset + length + 1;
    return true;
}
}  // namespace

ParametersDeserializer::ParametersDeserializer(IParametersIO* io) : io_(io) {}

bool ParametersDeserializer::Read(std::string& pkgFileName, std::string& logFileName, int& installFlags)
{
    block_ = io_ != nullptr ? io_->Open() : nullptr;
    if (block_ == nullptr)
    {
        return false;
    }
    const unsigned char* flags = block_ + kFlagsOffset;
    const std::uint32_t rawFlags = base::ByteOrder::LoadLe32(flags);

    std::string pkg;
    std::string log;
    std::size_t logOffset = 0;
    std::size_t end = 0;
    if (!TakeString(block_, kStringsOffset, pkg, logOffset) || !TakeString(block_, logOffset, log, end))
    {
        io_->Close();
        block_ = nullptr;
        return false;
    }
    pkgFileName = std::move(pkg);
    logFileName = std::move(log);
    installFlags = static_cast<int>(rawFlags);
    std::memset(block_, 0, kHeaderSize);
    io_->Close();
    block_ = nullptr;
    return true;
}

}  // namespace vex::app
