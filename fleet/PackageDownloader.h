#pragma once

#include "fleet/ChannelDocument.h"
#include "fleet/HttpClient.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vex::fleet
{
struct DownloadLimits
{
    // Bytes asked for by one range request (whole blocks of the index).
    uint64_t requestBytes = uint64_t(4) << 20;
    // Transfers that may fail in one call before it gives up for now (kRetryLater).
    int attempts = 4;
    // Space left free on the update partition beyond the package itself.
    uint64_t spareBytes = uint64_t(1) << 20;
};

// Fetches one release into a folder on the update partition so that a cut connection, a kill or a power cut
// loses nothing that was checked: the signed index first (one range request), checked against the channel's
// digest and then its signature against the trusted keys; then the rest with range requests (`Range` and
// `If-Range`), every block checked against the index as it arrives. Only checked bytes are kept: they are
// written and synced, and then the checked length is journaled (synced), and a later call resumes from
// there. A changed ETag means a changed file: the download starts over.
class PackageDownloader
{
public:
    enum class Outcome
    {
        kComplete,    // `packagePath` names the whole package, every block checked
        kRetryLater,  // a passing fault (connection, timeout, 5xx, ...): checked bytes kept, resumable
        kFailed,      // this release cannot be had as published; `why` says why, nothing of it is kept
    };
    using Progress = std::function<void(uint64_t checkedBytes, uint64_t totalBytes)>;
    // Bytes free for this program in `folder`; false when that cannot be told (the download then fails).
    using FreeSpace = std::function<bool(const std::string& folder, uint64_t& bytes)>;

    // Names of what the folder holds for a download.
    static constexpr const char* kJournalName = "journal";
    static constexpr const char* kPartName = "package.part";
    // The complete package of `version`: "1.2.0.pkg".
    static std::string packageName(const pkg::PackageVersion& version);

    // `folder` holds the partial download and its journal; `keyDirectory` is the trusted key folder.
    PackageDownloader(HttpClient& http, std::string folder, std::string keyDirectory,
                      DownloadLimits limits = {});

    // Downloads `release` from the absolute `url`, resuming what the folder holds of it. `why` is set for
    // kRetryLater and kFailed (one line). kRetryLater: 5xx, 408, 429, no answer, a cut or an answer other
    // than the one asked for, `attempts` times without a block checked; or the file's ETag changing more
    // than twice in one call. kFailed: 404, 410, 416, a redirect or another 4xx; an index that is not the
    // channel's, a signature that does not hold, an index that disagrees with the channel; one block failing
    // its digest twice even after starting over; too little space; the folder unwritable. Progress is called
    // after each checked block. Blocks are journaled at least every `requestBytes` and after each transfer.
    Outcome download(const ChannelRelease& release, const std::string& url, std::string& packagePath,
                     std::string& why, const Progress& progress = {});

    // For a server that names a package but not its index digest: reads the lead-in (one small range
    // request) to learn how long the signed prefix is, bounded as a channel's would be, fetches that prefix
    // and requires its signature by a trusted key. `release` then describes the package as its signed index
    // does (version, compatibility, minimum installer, lengths, the prefix's SHA-256; rollout 100, no path),
    // ready for download(), which checks the prefix against that digest again. kRetryLater for a passing
    // fault (no answer, 5xx, 408, 429, a cut), kFailed for anything else, with `why`.
    Outcome learnRelease(const std::string& url, ChannelRelease& release, std::string& why);

    // Removes what the folder holds of any other release (a newer one superseded it): a journal and part
    // file of another release, and complete packages ("*.pkg") of other versions. Other files are left.
    void discardOthers(const ChannelRelease& keep);

    // Header fields sent with every request of this downloader (e.g. a rollout server's authorization).
    void setHeaders(std::vector<std::pair<std::string, std::string>> headers)
    {
        headers_ = std::move(headers);
    }

    // Replaces the free space query (statvfs of the folder), for tests.
    void setFreeSpaceQuery(FreeSpace query) { freeSpace_ = std::move(query); }

private:
    HttpClient& http_;
    std::string folder_;
    std::string keyDirectory_;
    DownloadLimits limits_;
    FreeSpace freeSpace_;
    std::vector<std::pair<std::string, std::string>> headers_;
};

}  // namespace vex::fleet
