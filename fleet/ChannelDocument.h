#pragma once

#include "pkg/trust/PackageIndex.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vex::fleet
{
// One release a channel offers: enough for an instrument to choose it, fetch its signed index by range,
// compare that with what the channel says, and then fetch the rest block by block.
struct ChannelRelease
{
    pkg::PackageVersion version;
    // The package's compatibility IDs, 7 printable characters each, as its signed index lists them.
    std::vector<std::string> compatibility;
    // Length of the whole package stream, as its lead-in and index say.
    uint64_t length = 0;
    // The package's first `indexLength` bytes: the lead-in, the index chunk and the signature chunk, that is
    // everything before the data start, so one range request fetches what the signature covers and the
    // signature itself. `indexSha256` is the SHA-256 of exactly those bytes, 64 lowercase hex digits.
    uint64_t indexLength = 0;
    std::string indexSha256;
    // Where the package lies, relative to the channel document's folder ("packages/<sha256>.pkg").
    std::string path;
    pkg::InstallerVersion minInstaller;
    // Share of instruments that should take this release, 0 to 100.
    uint32_t rollout = 100;

    bool operator==(const ChannelRelease& other) const;
};

// What a channel says it offers, as the JSON document published beside the packages. Parsing is strict:
// every field is required and checked for type and range, unknown fields are refused (a new field comes
// with a new format version, which older readers refuse as a whole rather than misread), and the document's
// size, nesting and number of releases are capped before anything large is built. Nothing throws out of
// this class.
class ChannelDocument
{
public:
    static constexpr uint64_t kFormatVersion = 1;
    static constexpr size_t kLargestDocument = size_t(1) << 20;
    // The document nests four deep (document, releases, a release, its compatibility list).
    static constexpr int kDeepestNesting = 8;
    static constexpr size_t kMostReleases = 1000;
    static constexpr size_t kMostCompatibilityIds = pkg::IndexFormat::kLargestCompatibilityCount;
    static constexpr size_t kLongestPath = 512;
    static constexpr size_t kLongestName = 64;
    static constexpr uint64_t kLongestPackage = uint64_t(INT64_MAX);

    // False with a one-line reason for anything that is not a well-formed document; `document` is then left
    // as it was.
    static bool parse(const std::string& bytes, ChannelDocument& document, std::string& why);
    // The document as JSON (two-space indented, fields in a fixed order, a newline at the end): parses back
    // to an equal document.
    std::string serialize() const;

    // Checks that would refuse the document when parsed, for a document about to be written.
    bool valid(std::string& why) const;

    // Adds `release`, or replaces the release of the same version.
    void setRelease(const ChannelRelease& release);

    // Channel names are plain file names: the document is NAME.json beside its signature NAME.json.sig.
    static bool validName(const std::string& name);
    // "packages/abc.pkg": relative, '/'-separated names of letters, digits, '-', '_' and '.', none empty,
    // "." or "..".
    static bool validPath(const std::string& path);

    // "2026-12-09T15:10:51Z" to seconds since 1970 and back; only this form (UTC, whole seconds) of RFC 3339
    // is read and written, years 1970 to 9999.
    static bool parseTime(const std::string& text, int64_t& seconds);
    static std::string timeText(int64_t seconds);

    std::string name;
    uint64_t sequence = 0;
    int64_t expires = 0;  // seconds since 1970, UTC
    std::vector<ChannelRelease> releases;
};

}  // namespace vex::fleet
