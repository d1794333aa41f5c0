#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vex::tools
{
class ProgressBar;

// `vex-pkg verify`: reads every chunk and decodes every item's data without writing anything, checks every
// recorded MD5, the lists inside each tar, the rules of the package's type (with the installer's own
// compliance checker) and that the chunk walk ends exactly at the end of the last part.
class PackageChecker
{
public:
    // Prints who signed the package, one line per problem, naming the item, then "package OK" or "N problems
    // found". True when the package is sound. With `keyDirectory` the signature is checked by the installer's
    // verifier against the public keys there, and a refusal is a problem; without, it is only shown.
    static bool Verify(const std::string& path, ProgressBar* progress, std::ostream& out,
                       const std::string& keyDirectory = std::string());

    // The chunk framing alone: every chunk whole and the last one ending exactly at the end of the stream.
    // `streamSize` and `chunkCount` describe what was walked.
    static std::vector<std::string> CheckFraming(const std::vector<std::string>& parts, int64_t& streamSize,
                                                 size_t& chunkCount);
};

}  // namespace vex::tools
