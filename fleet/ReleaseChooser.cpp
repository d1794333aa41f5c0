#include "fleet/ReleaseChooser.h"

#include "pkg/trust/Sha256.h"

#include <algorithm>

namespace vex::fleet
{
ReleaseChooser::ReleaseChooser(std::vector<std::string> compatibleIds, pkg::PackageVersion installed,
                               std::string deviceId)
    : compatibleIds_(std::move(compatibleIds)), installed_(installed), deviceId_(std::move(deviceId))
{
}

bool ReleaseChooser::inRollout(const std::string& deviceId, const pkg::PackageVersion& version,
                               uint32_t percent)
{
    if (percent == 0)
        return false;
    const std::string text = deviceId + "\n" + version.text();
    pkg::Sha256 sha;
    pkg::Sha256::Digest digest{};
    // Without a digest nothing says where this instrument stands: it waits, as one outside the rollout.
    if (!sha.digest(text.data(), text.size(), digest))
        return false;
    uint64_t head = 0;
    for (size_t i = 0; i < 8; ++i) head = (head << 8) | digest[i];
    return head % 100 < percent;
}

const ChannelRelease* ReleaseChooser::choose(const ChannelDocument& document, std::string& why) const
{
    const pkg::InstallerVersion installer = pkg::InstallerVersion::Current();
    const ChannelRelease* chosen = nullptr;
    // The newest release this instrument would take but for one reason, to say why nothing was chosen.
    const ChannelRelease* newestSkipped = nullptr;
    std::string skippedWhy;
    bool anyCompatible = false;
    for (const ChannelRelease& release : document.releases)
    {
        const bool compatible = std::any_of(
            release.compatibility.begin(), release.compatibility.end(),
            [this](const std::string& id)
            { return std::find(compatibleIds_.begin(), compatibleIds_.end(), id) != compatibleIds_.end(); });
        if (!compatible)
            continue;
        anyCompatible = true;
        if (!(installed_ < release.version))
            continue;
        std::string reason;
        if (installer < release.minInstaller)
            reason = release.version.text() + " needs installer " + release.minInstaller.text() +
                     " or later (this is " + installer.text() + ")";
        else if (!inRollout(deviceId_, release.version, release.rollout))
            reason = release.version.text() + " is rolled out to " + std::to_string(release.rollout) +
                     "% of instruments, not yet to this one";
        if (reason.empty())
        {
            if (chosen == nullptr || chosen->version < release.version)
                chosen = &release;
        }
        else if (newestSkipped == nullptr || newestSkipped->version < release.version)
        {
            newestSkipped = &release;
            skippedWhy = reason;
        }
    }
    if (chosen != nullptr)
    {
        why.clear();
        return chosen;
    }
    if (document.releases.empty())
        why = "the channel offers no release";
    else if (!anyCompatible)
        why = "no release of the channel is made for this instrument";
    else if (newestSkipped != nullptr)
        why = skippedWhy;
    else
        why = "nothing newer than the installed " + installed_.text();
    return nullptr;
}

}  // namespace vex::fleet
