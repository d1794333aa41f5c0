#pragma once

#include <cstdint>
#include <string>

namespace vex::pkg
{
class DataInfo;
}
namespace vex::base
{
class InstallProgressNotifierInterface;
}
namespace vex::pkg
{
class ProcessingStrategy;
}

namespace vex::tools
{
// Decodes an item's stored bytes the way the installer does, but into an MD5 digest instead of a file.
class ItemDecoder
{
public:
    enum Result
    {
        kOk = 0,
        kNoData,       // the item has no usable window onto the package
        kDecodeError,  // the stored bytes cannot be decoded
    };

    // The strategies are the installer's own: pkg::StrategyFor and pkg::PlainStrategy (pkg/decode/).

    // Decodes the whole window; `produced` counts the decoded bytes and `hexDigest` is their MD5.
    static Result Digest(const pkg::DataInfo& data, pkg::ProcessingStrategy& strategy,
                         base::InstallProgressNotifierInterface* progress, int64_t& produced,
                         std::string& hexDigest);

    // The recorded digest as lower-case hexadecimal.
    static std::string Hex(const uint8_t* digest, size_t length);
};

}  // namespace vex::tools
