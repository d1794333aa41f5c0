// fuzz_seeds OUTPUT: writes the seed corpus of every fuzz target, one folder per target under OUTPUT, with
// the project's own writers, and under OUTPUT/regressions the past crash inputs too large to keep in the
// source tree. A seed starts the fuzzer from inputs that already pass the parsers' first checks.

#include "app/parameters/ParametersDeserializer.h"
#include "base/ByteOrder.h"
#include "fleet/ChannelDocument.h"
#include "fleet/ChannelSignature.h"
#include "pcm/CChunk.h"
#include "pcm/CMemoryChunk.h"
#include "pcm/ChunkHeader.h"
#include "pcm/InfoRecord.h"
#include "pcm/RecordList.h"
#include "pkg/read/PackageFormat.h"
#include "pkg/trust/IndexFormat.h"
#include "pkg/trust/PackageIndex.h"
#include "pkg/trust/Sha256.h"
#include "pkg/trust/SignatureFormat.h"
#include "pkg/writer/PackageSigner.h"
#include "pkg/writer/PackageWriter.h"
#include "pkg/writer/TarItemBuilder.h"
#include "tests/fuzz/FixedKeys.h"
#include "tests/support/SampleManifest.h"
#include "tests/support/SoundChunkIds.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

using namespace pcm;
using namespace vex::app;
using namespace vex::pkg;
using namespace vex::pkg::writer;
using namespace pcmtest;

namespace fs = boost::filesystem;

namespace
{
using Bytes = std::vector<uint8_t>;

bool ok = true;

void save(const fs::path& folder, const std::string& name, const Bytes& bytes)
{
    fs::create_directories(folder);
    std::ofstream out((folder / name).string(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
    {
        std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", (folder / name).string().c_str());
        ok = false;
    }
}

Bytes bytesOf(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

Bytes slurp(const fs::path& path)
{
    std::ifstream in(path.string(), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ---- packages ---------------------------------------------------------------------------------------------

// The installer's tar item is found by this name in the tar item target too.
const char kTarBase[] = "data";

TarItemBuilder bundle()
{
    TarItemBuilder tar(kTarBase);
    tar.SetModificationTime(1700000000);
    tar.AddDirectory("./");
    tar.AddDirectory("./data");
    tar.AddFile("./data/table.csv", "a,b\n1,2\n");
    tar.AddFile("./data/run.sh", "#!/bin/sh\nexit 0\n", 0755);
    tar.AddSymlink("./data/latest.csv", "table.csv");
    return tar;
}

uint16_t mode(unsigned owner, unsigned group, unsigned others)
{
    return static_cast<uint16_t>(owner << PackageFormat::kOwnerShift | group << PackageFormat::kGroupShift |
                                 others << PackageFormat::kOthersShift);
}

PackageWriter::FileInfo fileAt(const std::string& path, int16_t condition = PackageFormat::kNoCondition)
{
    PackageWriter::FileInfo info;
    info.path = path;
    info.date = "06/15/2024";
    info.time = "12.30";
    info.attributes.mode = mode(PackageFormat::kPermRead | PackageFormat::kPermWrite,
                                PackageFormat::kPermRead, PackageFormat::kPermRead);
    info.attributes.conditionId = condition;
    return info;
}

void everyUserKind(PackageWriter& writer)
{
    writer.addScript("pre.sh", bytesOf("#!/bin/sh\nexit 0\n"));
    writer.addScript("clean.sh", bytesOf("#!/bin/sh\nexit 0\n"));
    writer.addScript("post.sh", bytesOf("#!/bin/sh\nexit 0\n"));
    writer.addScript("has_options.sh", bytesOf("#!/bin/sh\nexit 0\n"), 1);
    PackageWriter::EntryAttributes dir;
    dir.mode = mode(7, 5, 5);
    writer.addDirectory("/kelda_usr/sample", dir);
    writer.addFile(fileAt("/kelda_usr/sample/plain.txt"), bytesOf("A plain file.\n"));
    writer.addFile(fileAt("/kelda_usr/sample/blowfish.txt"), bytesOf("Stored encrypted with Blowfish.\n"),
                   PackageFormat::kCompressionNone, PackageFormat::kCipherBlowfish);
    writer.addFile(fileAt("/kelda_usr/sample/des.txt"), bytesOf("Stored encrypted with DES.\n"),
                   PackageFormat::kCompressionNone, PackageFormat::kCipherDes);
    std::string repeated;
    for (int i = 0; i < 64; ++i) repeated += "Stored compressed; this line repeats.\n";
    writer.addFile(fileAt("/kelda_usr/sample/compressed.txt"), bytesOf(repeated),
                   PackageFormat::kCompressionQtZlib, PackageFormat::kCipherNone);
    writer.addFile(fileAt("/rootfs/opt/sample/options.cfg", 1), bytesOf("options=on\n"));
    PackageWriter::LinkInfo link;
    link.linkPath = "/rootfs/opt/sample/current.cfg";
    link.target = "options.cfg";
    writer.addLink(link);
    bundle().AddTo(writer, "/rootfs/opt/sample/data.tar");
}

// A package as written (and then handed to `finish`, given), with the layout byte of the package target in
// front.
void savePackage(const fs::path& folder, const std::string& name, uint8_t layout, uint16_t type,
                 const std::function<void(PackageWriter&)>& fill,
                 const std::function<void(const std::string&)>& finish = nullptr)
{
    const fs::path work = folder / ".work";
    fs::create_directories(work);
    const fs::path path = work / "package.pkg";
    PackageWriter writer;
    PackageWriter::Header header;
    header.packageType = type;
    header.creationDate = "06/15/2024";
    header.creationTime = "12.30";
    header.text1 = "Seed";
    if (!writer.open(path.string()) || !writer.addHeader(header))
        ok = false;
    fill(writer);
    if (!writer.close())
    {
        std::fprintf(stderr, "fuzz_seeds: package %s not written\n", name.c_str());
        ok = false;
    }
    if (finish)
        finish(path.string());
    Bytes input{layout};
    const Bytes package = slurp(path);
    input.insert(input.end(), package.begin(), package.end());
    fs::remove_all(work);
    save(folder, name, input);
}

void packages(const fs::path& folder)
{
    const uint8_t onePart = 0;
    const uint8_t threeParts = 2;
    savePackage(folder, "header-only", onePart, PackageFormat::kPackageUser, [](PackageWriter&) {});
    savePackage(folder, "user-every-kind", onePart, PackageFormat::kPackageUser, everyUserKind);
    savePackage(folder, "user-every-kind-in-parts", threeParts, PackageFormat::kPackageUser, everyUserKind);
    savePackage(folder, "service-images", onePart, PackageFormat::kPackageService,
                [](PackageWriter& writer)
                {
                    writer.addScript("pre.sh", bytesOf("#!/bin/sh\nexit 0\n"));
                    for (uint32_t type = 2; type <= 14; ++type)
                        writer.addSystemImage(type, Bytes(16, static_cast<uint8_t>(type)));
                    writer.addRawChunk(0x77, bytesOf("unknown chunk"));
                });
}

// Signed packages for the signature target: keys 1 and 2 are the ones it trusts, key 3 is unknown to it.
void signedPackages(const fs::path& folder)
{
    auto signedBy = [](uint8_t key, const PackageSigner::Release& release = PackageSigner::Release())
    {
        return [key, release](const std::string& path)
        {
            std::string error;
            if (!PackageSigner::sign(path, fuzz::fixedKey(key), release, error))
            {
                std::fprintf(stderr, "fuzz_seeds: cannot sign %s: %s\n", path.c_str(), error.c_str());
                ok = false;
            }
        };
    };
    const uint8_t onePart = 0;
    const uint8_t threeParts = 2;
    savePackage(folder, "signed-by-key-1", onePart, PackageFormat::kPackageUser, everyUserKind, signedBy(1));
    savePackage(folder, "signed-by-key-2-in-parts", threeParts, PackageFormat::kPackageUser, everyUserKind,
                signedBy(2));
    savePackage(
        folder, "signed-by-unknown-key", onePart, PackageFormat::kPackageUser, [](PackageWriter&) {},
        signedBy(3));
    savePackage(folder, "unsigned", onePart, PackageFormat::kPackageUser,
                [](PackageWriter& writer) { writer.addScript("pre.sh", bytesOf("#!/bin/sh\nexit 0\n")); });

    // The release fields: one this installer takes, one that needs a newer installer (signed, yet refused).
    PackageSigner::Release release;
    release.hasVersion = PackageVersion::parse("2.0.0", release.version);
    release.hasMinInstaller = InstallerVersion::parse("4.2.7.30", release.minInstaller);
    savePackage(folder, "signed-with-release", onePart, PackageFormat::kPackageUser, everyUserKind,
                signedBy(1, release));
    release.hasMinInstaller = InstallerVersion::parse("4.3", release.minInstaller);
    savePackage(
        folder, "needs-a-newer-installer", onePart, PackageFormat::kPackageUser, [](PackageWriter&) {},
        signedBy(2, release));
    // A chunk of more than one block, so that the checking reader moves from block to block inside it.
    savePackage(
        folder, "signed-chunk-of-two-blocks", threeParts, PackageFormat::kPackageUser,
        [](PackageWriter& writer) { writer.addRawChunk(0x77, Bytes(IndexFormat::kBlockSize + 4096, 0x5a)); },
        signedBy(1));
    // The old layout, a "VPKGSIG1" lead-in and the signature chunk at the end, which the verifier refuses and
    // signing replaces (its key ID and signature are zeros).
    savePackage(folder, "signed-the-old-way", onePart, PackageFormat::kPackageUser, everyUserKind,
                [](const std::string& path)
                {
                    Bytes bytes = slurp(path);
                    Bytes payload(SignatureFormat::kPayloadSize, 0);
                    vex::base::ByteOrder::StoreLe32(payload.data() + SignatureFormat::kSchemeOffset,
                                                    SignatureFormat::kSchemeEd25519Sha512);
                    const Bytes chunk = PackageWriter::chunk(SignatureFormat::kTypeSignature, payload);
                    bytes.insert(bytes.end(), chunk.begin(), chunk.end());
                    std::copy(SignatureFormat::kLeadInMarker,
                              SignatureFormat::kLeadInMarker + SignatureFormat::kLeadInMarkerSize,
                              bytes.begin());
                    vex::base::ByteOrder::StoreLe64(bytes.data() + SignatureFormat::kLeadInLengthOffset,
                                                    bytes.size());
                    std::ofstream out(path, std::ios::binary | std::ios::trunc);
                    out.write(reinterpret_cast<const char*>(bytes.data()),
                              static_cast<std::streamsize>(bytes.size()));
                    if (!out)
                        ok = false;
                });
}

// Index payloads for the package_index target: the index of a signed sample package as the signer writes
// it, a hand-built one with compatibility IDs and a chunk of several blocks, an empty one, and one over a
// stream of zeros past the payload, whose digests hold, so that the checking reader delivers the whole range.
void packageIndexes(const fs::path& folder)
{
    const fs::path work = folder / ".work";
    fs::create_directories(work);
    const std::string path = (work / "signed.pkg").string();
    PackageWriter writer;
    PackageWriter::Header header;
    header.creationDate = "06/15/2024";
    header.creationTime = "12.30";
    std::string error;
    PackageSigner::Inspection inspection;
    if (!writer.open(path) || !writer.addHeader(header))
        ok = false;
    everyUserKind(writer);
    if (!writer.close() || !PackageSigner::sign(path, fuzz::fixedKey(1), error) ||
        !PackageSigner::inspect(path, inspection, error) || !inspection.index)
    {
        std::fprintf(stderr, "fuzz_seeds: no signed index: %s\n", error.c_str());
        ok = false;
    }
    else
    {
        save(folder, "signed-sample", inspection.index->serialize());
    }
    fs::remove_all(work);

    const auto build = [](int64_t dataStart, const std::vector<int64_t>& lengths, uint32_t blockSize,
                          const std::function<void(PackageIndex&)>& more)
    {
        PackageIndex index(blockSize);
        int64_t offset = dataStart;
        for (const int64_t length : lengths)
        {
            index.addChunk(static_cast<uint32_t>(index.chunks().size() + 1), offset, length);
            offset += length;
        }
        index.setStream(dataStart, offset);
        more(index);
        return index.serialize();
    };
    save(folder, "empty", build(116, {}, IndexFormat::kBlockSize, [](PackageIndex&) {}));
    save(folder, "compatibility-and-blocks",
         build(200, {16, 3 * int64_t(IndexFormat::kSmallestBlock) + 5, 8}, IndexFormat::kSmallestBlock,
               [](PackageIndex& index)
               {
                   index.setCompatibility({"VX20A01", "VX30B02"});
                   index.setVersion(PackageVersion{2, 1, 0});
                   InstallerVersion installer;
                   installer.parts = {4, 2, 7, 30};
                   index.setMinInstaller(installer);
               }));
    // The fuzzer lays the input over the stream's start, so a stream starting past it is zeros throughout.
    save(folder, "zero-stream-with-matching-digests",
         build(4096, {8, int64_t(IndexFormat::kSmallestBlock) + 100, 100}, IndexFormat::kSmallestBlock,
               [](PackageIndex& index)
               {
                   const Bytes zeros(IndexFormat::kSmallestBlock, 0);
                   Sha256 sha;
                   for (size_t c = 0; c < index.chunks().size(); ++c)
                   {
                       const PackageIndex::Chunk& chunk = index.chunks()[c];
                       for (uint32_t b = 0; b < chunk.blocks; ++b)
                       {
                           const int64_t left = chunk.length - int64_t(b) * index.blockSize();
                           Sha256::Digest digest;
                           if (!sha.digest(zeros.data(),
                                           static_cast<size_t>(std::min<int64_t>(left, index.blockSize())),
                                           digest))
                               ok = false;
                           index.setDigest(c, b, digest);
                       }
                   }
               }));
}

// ---- package manifests ------------------------------------------------------------------------------------

// Manifests naming the inputs the manifest target lays out beside them.
void manifests(const fs::path& folder)
{
    const std::string header = test_support::UserPackageTable("seed") +
                               "library_version = [4, 2]\ninstall_version = [7, 30]\n" +
                               "version = \"2.0.0\"\nmin_installer = \"4.2.7.30\"\n";
    save(folder, "every-kind.toml", bytesOf(header + test_support::kKernelAndScripts + R"(
[[script]]
name = "has_options.sh"
source = "pre.sh"
condition = 1

[[directory]]
path = "/rootfs/opt/sample"
owner = 0
group = 0
mode = "0755"

[[file]]
source = "a.txt"
path = "/kelda_usr/sample/a.txt"
encoding = "blowfish"
fat = ["readonly", "hidden"]
condition = 1
date = "01/02/2023"
time = "08.15"

[[file]]
source = "a.txt"
path = "/kelda_usr/sample/b.txt"
encoding = "zlib"

[[link]]
path = "/rootfs/opt/sample/current"
target = "a.txt"
target_must_exist = true

[[tar]]
path = "/rootfs/opt/sample/data.tar.gz"
from_dir = "tree"
compression = "gzip"
post_tar = "post.sh"
owner = 0
group = 0
)"));
    save(folder, "header-only.toml", bytesOf(header));
    save(folder, "service-images.toml", bytesOf(R"([package]
type = "service"
date = "12/31/2025"
time = "23.59"
header_flag = true
header_value = 7
text2 = "images"

[[system]]
kind = "mlo"
source = "kernel.img"

[[system]]
kind = "u-boot"
source = "kernel.img"

[[script]]
name = "pre.sh"
source = "pre.sh"

[[file]]
source = "empty"
path = "/service/empty"
encoding = "des"
owner = 1
group = 2
mode = "0600"

[[tar]]
path = "/service/t.tar"
from_dir = "tree/deep"
compression = "none"
)"));
}

// ---- tar items and their lists
// ------------------------------------------------------------------------------

void tarItems(const fs::path& folder, const fs::path& listsFolder)
{
    Bytes archive;
    const TarItemBuilder tar = bundle();
    if (!tar.Build(archive))
        ok = false;
    save(folder, "bundle.tar", archive);
    if (!tar.Build(archive, TarItemBuilder::Compression::Gzip))
        ok = false;
    save(folder, "bundle.tar.gz", archive);

    TarItemBuilder bare(kTarBase);
    bare.AddFile("./one", "1\n");
    bare.SetIncludeLists(false);
    bare.Build(archive);
    save(folder, "without-lists.tar", archive);

    TarItemBuilder climbing = bundle();
    climbing.SetMd5List(climbing.Md5List() + "d41d8cd98f00b204e9800998ecf8427e  ../up\n");
    climbing.Build(archive);
    save(folder, "md5-list-climbs-out.tar", archive);

    // A "_tart" name that lands above the destination only once its first character is dropped.
    TarItemBuilder landingAbove = bundle();
    landingAbove.SetTarList(landingAbove.TarList() + "-rw-r--r-- root/root 9 2026-12-08 03:44 x../up\n");
    landingAbove.Build(archive);
    save(folder, "tar-list-lands-above.tar", archive);

    save(listsFolder, "md5-list", bytesOf(tar.Md5List()));
    save(listsFolder, "tar-list-lands-above", bytesOf(landingAbove.TarList()));
    save(listsFolder, "tar-list", bytesOf(tar.TarList()));
    save(listsFolder, "both-lists", bytesOf(tar.Md5List() + tar.TarList()));
}

// ---- the parameter block
// -------------------------------------------------------------------------------------

void parameterBlocks(const fs::path& folder)
{
    auto block = [](uint8_t headerByte, uint32_t flags, const std::string& package, const std::string& log)
    {
        Bytes bytes(ParametersDeserializer::kFlagsOffset, headerByte);
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(flags >> (8 * i)));
        bytes.insert(bytes.end(), package.begin(), package.end());
        bytes.push_back(0);
        bytes.insert(bytes.end(), log.begin(), log.end());
        bytes.push_back(0);
        return bytes;
    };
    save(folder, "with-log", block('P', 1, "/emmc/update/sample.pkg", "042_install.log"));
    save(folder, "without-log", block(0, 0, "/emmc/update/sample.001", ""));
    save(folder, "longest-name",
         block('P', 0, std::string(ParametersDeserializer::kMaxStringSize - 1, 'n'), "l"));
}

// ---- sound data
// ----------------------------------------------------------------------------------------------

SoundRecord record(uint8_t format, const std::string& name, uint8_t primary, uint8_t secondary, bool full)
{
    SoundRecord r(format, format == 1 ? 1 : 0);
    r.name = name;
    r.primaryBytes = {primary, 0x10, 0x20};
    r.secondaryBytes = {secondary, 0x30};
    if (full)
    {
        r.numbers = SoundNumbers{1, 2, 3, 4};
        r.identifier = {1, 2, 3, 4, 5, 6, 7, 8};
        r.timestamp = {20, 26, 12, 8, 17, 30, 0};
        r.annotation = "annotation";
    }
    return r;
}

Bytes recordList(const std::vector<SoundRecord>& records)
{
    Bytes payload;
    if (!RecordList::encode(records, payload))
        ok = false;
    return payload;
}

void addData(CChunkBase& parent, uint32_t identifier, const Bytes& payload)
{
    CChunk* child = nullptr;
    if (!parent.createChild(identifier, child))
    {
        ok = false;
        return;
    }
    child->writeBytes(payload.data(), payload.size());
    parent.releaseChild(child);
}

void addContainer(CChunkBase& parent, uint32_t identifier, const std::function<void(CChunk&)>& fill)
{
    CChunk* child = nullptr;
    if (!parent.createChild(identifier, child))
    {
        ok = false;
        return;
    }
    fill(*child);
    parent.releaseChild(child);
}

Bytes soundFile(bool storeSeekTable, const std::function<void(CMemoryChunk&)>& fill)
{
    CMemoryChunk root("seed", {1, 2, 3, 4}, storeSeekTable);
    fill(root);
    if (root.finishPayload() != 1)
        ok = false;
    const CMemory& memory = root.memory();
    return Bytes(memory.data(), memory.data() + memory.length());
}

void soundFiles(const fs::path& folder, const fs::path& recordsFolder, const fs::path& regressions)
{
    const std::vector<SoundRecord> compact = {record(0, "first", 1, 1, false),
                                              record(0, "wave", 6, 0, false)};
    const std::vector<SoundRecord> extended = {record(1, "first", 1, 1, true),
                                               record(1, "wave", 6, 1, false)};
    const std::vector<SoundRecord> fixedNames = {SoundRecord(1, 0)};

    save(folder, "records-wave.PCM",
         soundFile(false,
                   [&](CMemoryChunk& root) { addData(root, recordListId(1, 1), recordList(extended)); }));
    save(folder, "container-wave-with-seek-table.PCM",
         soundFile(true,
                   [&](CMemoryChunk& root)
                   {
                       addData(root, recordListId(0, 0), recordList({record(0, "x", 1, 1, false)}));
                       addData(root, kDataId, {1, 2, 3});
                       addContainer(root, kWaveContainerId, [](CChunk& c) { addData(c, kWaveChunkId, {1}); });
                   }));
    save(folder, "block-with-attributes.PCM",
         soundFile(false,
                   [&](CMemoryChunk& root)
                   {
                       addData(root, recordListId(0, 0), recordList(compact));
                       addContainer(root, kBlockId,
                                    [](CChunk& block)
                                    {
                                        addData(block, kDataId, {7});
                                        InfoRecord attribute(2, {1, 2, 3, 4}, "attribute");
                                        attribute.pushKey(0x42);
                                        attribute.pushKey(0x41);
                                        block.addAttribute(attribute);
                                    });
                   }));

    auto withFormat = [](uint8_t format, uint8_t subformat, Bytes payload)
    {
        payload.insert(payload.begin(), {format, subformat});
        return payload;
    };
    save(recordsFolder, "compact", withFormat(0, 0, recordList(compact)));
    save(recordsFolder, "extended-own-length-names", withFormat(1, 1, recordList(extended)));
    save(recordsFolder, "extended-fixed-names", withFormat(1, 0, recordList(fixedNames)));

    // Blocks nested 200 000 deep, none with its body: once enough to exhaust Sonoprobe's stack.
    Bytes nested = soundFile(false, [](CMemoryChunk&) {});
    const size_t levels = 200000;
    const size_t first = nested.size();
    nested.resize(first + ChunkHeader::kSize * levels);
    for (size_t level = 0; level < levels; ++level)
    {
        const uint32_t below = static_cast<uint32_t>(ChunkHeader::kSize * (levels - level - 1));
        ChunkHeader::fromIdentifier(kBlockId, below).encode(&nested[first + ChunkHeader::kSize * level]);
    }
    ChunkHeader root;
    ChunkHeader::decode(nested.data(), root);
    root.size += static_cast<uint32_t>(ChunkHeader::kSize * levels);
    root.encode(nested.data());
    save(regressions / "pcm_container", "blocks-nested-200000-deep.PCM", nested);
}
// Channel documents as the publishing tool writes them: none, one and several releases; a signature file.
void channelDocuments(const fs::path& folder)
{
    vex::fleet::ChannelDocument document;
    document.name = "stable";
    document.sequence = 1;
    vex::fleet::ChannelDocument::parseTime("2027-01-08T15:10:51Z", document.expires);
    save(folder, "empty.json", bytesOf(document.serialize()));
    for (const char* version : {"2.0.0", "2.1.0", "3.0.0"})
    {
        vex::fleet::ChannelRelease release;
        PackageVersion::parse(version, release.version);
        release.compatibility = {"VX20A01", "VX20B01"};
        release.length = 1 << 20;
        release.indexLength = 1312;
        release.indexSha256 = std::string(64, 'e');
        release.path = "packages/" + std::string(64, '1') + ".pkg";
        InstallerVersion::parse("4.2.7.30", release.minInstaller);
        release.rollout = 25;
        document.setRelease(release);
        ++document.sequence;
        save(folder, std::string("releases-") + version + ".json", bytesOf(document.serialize()));
    }
    std::string signature = vex::fleet::ChannelSignature::kMarker;
    signature.resize(vex::fleet::ChannelSignature::kSize, 'k');
    save(folder, "signature.sig", bytesOf(signature));
}

// Server answer scripts for the download target (see its input layout): all plain; a cut index and a
// refusal, then a resumed call; a whole file for a range; a flipped byte; a changed ETag.
void serverAnswers(const fs::path& folder)
{
    save(folder, "plain", Bytes{8, 0});
    save(folder, "cut-then-resume", Bytes{3, 5, 1, 0, 100, 7, 7});
    save(folder, "whole-file", Bytes{5, 0, 3, 0, 1});
    save(folder, "flipped-byte", Bytes{8, 2, 0, 2, 1, 0, 1});
    save(folder, "changed-etag", Bytes{10, 4, 0, 0, 4, 1, 0});
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "Usage: fuzz_seeds OUTPUT\n");
        return 2;
    }
    const fs::path out(argv[1]);
    packages(out / "package");
    signedPackages(out / "signature");
    packageIndexes(out / "package_index");
    manifests(out / "manifest");
    channelDocuments(out / "channel_document");
    serverAnswers(out / "server_answers");
    tarItems(out / "tar_item", out / "tar_lists");
    parameterBlocks(out / "parameter_block");
    soundFiles(out / "pcm_container", out / "sound_records", out / "regressions");
    // Every target has a folder of generated regressions, even an empty one, so that its runs can name it.
    for (fs::directory_iterator it(out), end; it != end; ++it)
    {
        if (fs::is_directory(it->path()) && it->path().filename() != "regressions")
            fs::create_directories(out / "regressions" / it->path().filename());
    }
    return ok ? 0 : 1;
}
