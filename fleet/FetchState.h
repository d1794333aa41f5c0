#pragma once

#include "base/UniqueFd.h"

#include <cstdint>
#include <string>

namespace vex::fleet
{
// What the fetch client remembers between runs, in update_dir/fetch/state: the sequence of the last channel
// document it accepted (an older one replayed is refused), that document's ETag (asked with If-None-Match,
// so an unchanged channel costs a 304), the number of the last installation log it reported, and the
// release it handed to the installer whose result is still to be reported. Saved atomically, read strictly.
struct FetchState
{
    static constexpr size_t kLargestFile = 4096;
    static constexpr size_t kLongestEtag = 256;
    static constexpr int kMostLogNumber = 999;

    enum class Load
    {
        kAbsent,  // the first run: nothing accepted, nothing reported
        kLoaded,
        kDamaged,  // there but not understood; the caller decides how to fail closed
    };

    uint64_t sequence = 0;
    std::string etag;     // printable ASCII, may be empty
    int lastLog = 0;      // 0: none reported yet; otherwise 1..999
    std::string pending;  // the version handed over in a parameter block, or empty

    Load load(const std::string& path, std::string& why);
    bool save(const std::string& path, std::string& why) const;

    std::string serialize() const;
    static bool parse(const std::string& text, FetchState& state, std::string& why);

    // An ETag as a server may send it and we send back: printable ASCII, at most kLongestEtag bytes.
    static bool validEtag(const std::string& etag);
};

// Keeps two runs of the client apart: an exclusive flock on a file in the fetch folder, held while the
// object lives. The file is opened read-only, so that holding it does not keep the partition from being
// mounted read-only again.
class FetchLock
{
public:
    // False with `why` when the lock file cannot be made or opened, or another run holds it (`busy` set).
    bool acquire(const std::string& path, bool& busy, std::string& why);

private:
    base::UniqueFd fd_;
};

}  // namespace vex::fleet
