#pragma once

#include "pkg/writer/PackageSigner.h"
#include "pkg/writer/PackageWriter.h"
#include "tools/vex-pkg/ItemKinds.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vex::tools
{
// What a package manifest describes, every path already resolved against the manifest's folder and every
// value checked. Each entry remembers where the manifest wrote it, so that a problem found while building
// can still name the manifest's line.
struct Manifest
{
    struct Where
    {
        int line = 0;
        int column = 0;
    };

    struct Script
    {
        Where where;
        std::string name;
        std::string source;
        int16_t condition = -1;
    };
    struct Directory
    {
        Where where;
        std::string path;
        pkg::writer::PackageWriter::EntryAttributes attributes;
    };
    struct File
    {
        Where where;
        std::string source;
        pkg::writer::PackageWriter::FileInfo info;
        ItemKinds::Encoding encoding = ItemKinds::Encoding::Plain;
    };
    struct Link
    {
        Where where;
        pkg::writer::PackageWriter::LinkInfo link;
    };
    enum class TarCompression
    {
        None,
        Gzip,
        Bzip2,
        Xz,
    };
    struct Tar
    {
        Where where;
        std::string destination;  // the archive's own path on the instrument, e.g. "/rootfs/opt/data.tar.gz"
        std::string fromDirectory;  // one of the two sources
        std::string fromArchive;
        std::string postTarScript;  // optional, added as "./post_tar.sh"
        TarCompression compression = TarCompression::Gzip;
        uint16_t uid = 0;
        uint16_t gid = 0;
        int16_t condition = -1;
    };
    struct SystemImage
    {
        Where where;
        uint32_t chunkType = 0;
        std::string source;
    };

    std::string path;  // the manifest file itself, as given
    pkg::writer::PackageWriter::Header header;
    // The release's version and the oldest installer it needs ("version", "min_installer"): a signed
    // package's index carries them, an unsigned one has nowhere to keep them.
    pkg::writer::PackageSigner::Release release;
    int64_t modificationTime = 0;  // seconds since the epoch (UTC) of the package date, for tar members
    std::vector<SystemImage> systemImages;
    std::vector<Script> scripts;
    std::vector<Directory> directories;
    std::vector<File> files;
    std::vector<Link> links;
    std::vector<Tar> tars;
};

// Reads a TOML manifest. Dates come from the manifest, else from SOURCE_DATE_EPOCH (passed in, empty when
// unset), never from the clock, so that one manifest always gives the same package.
class ManifestReader
{
public:
    // False with one line in `error` ("FILE:LINE:COLUMN: what is wrong") for the first problem found.
    static bool Read(const std::string& path, const std::string& sourceDateEpoch, Manifest& manifest,
                     std::string& error);

    // "FILE:LINE:COLUMN: text", the form of every manifest error.
    static std::string Located(const std::string& file, const Manifest::Where& where,
                               const std::string& text);
};

}  // namespace vex::tools
