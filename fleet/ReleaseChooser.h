#pragma once

#include "fleet/ChannelDocument.h"

#include <string>
#include <vector>

namespace vex::fleet
{
// Which release of a channel this instrument should take: among the releases made for one of its
// compatibility IDs, newer than the version installed, needing no newer installer than this one and whose
// staged rollout includes this instrument, the newest.
class ReleaseChooser
{
public:
    ReleaseChooser(std::vector<std::string> compatibleIds, pkg::PackageVersion installed,
                   std::string deviceId);

    // The chosen release, or null with `why` saying (one line) why none is.
    const ChannelRelease* choose(const ChannelDocument& document, std::string& why) const;

    // Whether a rollout of `percent` includes `deviceId` for `version`: a hash of both, reduced to 0..99,
    // below `percent`. The same instrument stays in as the percentage grows; different releases pick
    // different instruments first.
    static bool inRollout(const std::string& deviceId, const pkg::PackageVersion& version, uint32_t percent);

private:
    std::vector<std::string> compatibleIds_;
    pkg::PackageVersion installed_;
    std::string deviceId_;
};

}  // namespace vex::fleet
