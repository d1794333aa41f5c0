#pragma once

#include "fleet/ChannelDocument.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vex::fleet
{
// What a download has safely on disk: which release it is of (version, index digest, length, where it came
// from and the server's ETag for that file) and how many bytes from the start of the package are checked
// and synced. The text form ends with a SHA-256 of everything before it, so a torn or damaged journal is
// refused as a whole rather than trusted in part; parsing is strict and bounded.
struct DownloadJournal
{
    static constexpr size_t kLargest = 8192;
    // Longest URL or ETag kept; the bytes must be printable ASCII without spaces.
    static constexpr size_t kLongestValue = 2048;

    pkg::PackageVersion version;
    std::string indexSha256;
    uint64_t length = 0;
    std::string url;
    std::string etag;  // as the server sent it, quotes included; empty when it sent none
    uint64_t checked = 0;
    bool complete = false;

    std::string serialize() const;
    // False with a one-line reason for anything serialize() would not have written; `journal` unchanged.
    static bool parse(const std::string& bytes, DownloadJournal& journal, std::string& why);

    // Whether this journal is of `release` fetched from `url`.
    bool names(const ChannelRelease& release, const std::string& url) const;
    // Whether `value` can be kept as a URL or ETag.
    static bool validValue(const std::string& value);
};

}  // namespace vex::fleet
