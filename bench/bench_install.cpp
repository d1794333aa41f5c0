// The whole installation against the work it cannot avoid, on one USER package: plain, Blowfish and zlib file
// items (half the stored bytes) and a gzip tar of 2 052 files (the other half), VEX_BENCH_INSTALL_MIB MiB as
// stored (520 by default), signed with a key made for the run, so that the signed index is checked and every
// byte is read through its checking reader.
//   install:  the real engine (InstallationManager, every pass, libarchive, the partitions' syncs) into a
//             temporary eMMC root on the disk the package lies on, the shell and mounts answered by a
//             stand-in;
//   by hand:  read each item's stored bytes from the package, decode them with the same libraries (OpenSSL
//             Blowfish, zlib, libarchive), write each file, MD5 every written file from the disk as the
//             installer checks them, and sync: one syncfs per partition written, as the installer does when
//             it unmounts (the cheapest way to have every byte on the device); once more with an fsync per
//             file, which costs far more where there are many files;
//   unsigned: the same package unsigned, installed on an instrument without keys: the index check's cost is
//             the difference.
// Each run is this program started again ("--install", "--by-hand" or "--by-hand-syncfs"), under GNU time for
// its own peak memory and CPU time, into a fresh eMMC root; the variants take turns, VEX_BENCH_INSTALL_RUNS
// rounds (5), and the best wall time of each is compared.
// Beside them: SHA-256 and SHA-512 (OpenSSL EVP) over 256 KiB blocks, and the installer's peak memory with a
// package of many small files (VEX_BENCH_INSTALL_FILES, 50 000 by default; 0 leaves it out), signed and not.
#include "bench/BenchSupport.h"
#include "install/InstallEnvironment.h"
#include "install/InstallOptions.h"
#include "install/InstallationManager.h"
#include "instrument/CommandRunner.h"
#include "instrument/PartitionsManager.h"
#include "instrument/linux/LinuxDiskUtils.h"
#include "log/LogStream.h"
#include "pkg/read/PackageFormat.h"
#include "pkg/trust/IKeyProvider.h"
#include "pkg/trust/IPkgVerifier.h"
#include "pkg/trust/SecurityLevel0Factory.h"
#include "pkg/trust/SecurityLevel1Factory.h"
#include "pkg/writer/PackageSigner.h"
#include "pkg/writer/PackageWriter.h"
#include "pkg/writer/PayloadEncoder.h"
#include "pkg/writer/TarItemBuilder.h"

#include <benchmark/benchmark.h>
#define OPENSSL_SUPPRESS_DEPRECATED
#include <archive.h>
#include <archive_entry.h>
#include <openssl/blowfish.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <zlib.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace vex;
using namespace vex::pkg;
using namespace vex::pkg::writer;

extern char** environ;

namespace
{
namespace fs = boost::filesystem;
using Bytes = std::vector<uint8_t>;

const char* const kPartitions[] = {"boot",      "service",   "update",  "kernel", "rootfs",
                                   "kelda_sys", "kelda_usr", "vdl_pcm", "bkp_pcm"};
const size_t kFileItem = 4u << 20;
const int kTarMembers = 2052;
const size_t kSegment = 65536;
const size_t kZlibBlock = 1u << 20;
const size_t kDigestBlock = 256u * 1024u;

int64_t EnvNumber(const char* name, int64_t fallback)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        return fallback;
    const long long number = std::strtoll(value, nullptr, 10);
    return number >= 0 ? number : fallback;
}

// Text-like bytes: zlib and gzip have work to do but do not collapse them to nothing.
Bytes Content(size_t length, unsigned seed)
{
    Bytes bytes(length);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < length; ++i)
    {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>('a' + (x >> 16) % 20);
    }
    return bytes;
}

// ---------------------------------------------------------------------------------------------------------
// The package and where its items' stored bytes lie, for the work by hand.

// One line per item: "file ENCODING OFFSET STORED INSTALLED PATH" or "tar OFFSET STORED FOLDER"; offsets are
// in the signed package, paths below the eMMC root.
struct PlanItem
{
    std::string kind;
    int encoding = 0;  // 0 plain, 1 Blowfish, 2 zlib
    int64_t offset = 0;
    int64_t stored = 0;
    int64_t installed = 0;
    std::string path;
};

bool WritePlan(const std::string& path, const std::vector<PlanItem>& plan)
{
    std::ofstream out(path);
    for (const PlanItem& item : plan)
    {
        if (item.kind == "file")
            out << "file " << item.encoding << ' ' << item.offset << ' ' << item.stored << ' '
                << item.installed << ' ' << item.path << '\n';
        else
            out << "tar " << item.offset << ' ' << item.stored << ' ' << item.path << '\n';
    }
    return static_cast<bool>(out);
}

std::vector<PlanItem> ReadPlan(const std::string& path)
{
    std::vector<PlanItem> plan;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
    {
        std::istringstream fields(line);
        PlanItem item;
        fields >> item.kind;
        if (item.kind == "file")
            fields >> item.encoding >> item.offset >> item.stored >> item.installed >> item.path;
        else
            fields >> item.offset >> item.stored >> item.path;
        plan.push_back(item);
    }
    return plan;
}

PackageWriter::EntryAttributes Attributes()
{
    PackageWriter::EntryAttributes attributes;
    attributes.mode = 0x1ed;  // rwx r-x r-x in the package's bit order (read is the low bit of each group)
    return attributes;
}

void AddScripts(PackageWriter& writer)
{
    for (const char* name : {"pre.sh", "clean.sh", "post.sh"})
    {
        const std::string text = "#!/bin/sh\nexit 0\n";
        writer.addScript(name, Bytes(text.begin(), text.end()));
    }
}

// Where the last `data` bytes of the chunk the writer has just written start.
int64_t DataOffset(int64_t chunkStart, size_t payloadSize, size_t dataSize)
{
    return chunkStart + PackageFormat::kChunkHeaderSize + static_cast<int64_t>(payloadSize) -
           static_cast<int64_t>(dataSize);
}

// The USER package of `mib` MiB at `path`, unsigned; `plan` gets where each item's stored bytes lie.
// How many times zlib shrinks Content: the package is `mib` MiB as stored, so compressed items install more.
double CompressionRatio()
{
    const Bytes sample = Content(1u << 20, 5);
    Bytes out(compressBound(sample.size()));
    uLongf length = out.size();
    if (compress2(out.data(), &length, sample.data(), sample.size(), Z_DEFAULT_COMPRESSION) != Z_OK ||
        length == 0)
        return 1;
    return static_cast<double>(sample.size()) / static_cast<double>(length);
}

bool MakePackage(const std::string& path, int64_t mib, std::vector<PlanItem>& plan)
{
    // Half the stored bytes are file items, a third of them each plain, Blowfish and zlib; the other half is
    // the tar.
    const size_t stored = static_cast<size_t>(mib) << 20;
    const double ratio = CompressionRatio();
    const size_t budget[3] = {stored / 6, stored / 6,
                              static_cast<size_t>(static_cast<double>(stored / 6) * ratio)};
    size_t spent[3] = {0, 0, 0};
    const size_t tarBytes = static_cast<size_t>(static_cast<double>(stored / 2) * ratio);
    PackageWriter writer;
    writer.open(path);
    PackageWriter::Header header;
    header.creationDate = "06/15/2026";
    header.creationTime = "12.30";
    writer.addHeader(header);
    AddScripts(writer);
    writer.addDirectory("/rootfs/opt", Attributes());
    writer.addDirectory("/rootfs/opt/bench", Attributes());
    writer.addDirectory("/kelda_usr/bench", Attributes());

    for (int index = 0; spent[0] < budget[0] || spent[1] < budget[1] || spent[2] < budget[2]; ++index)
    {
        PlanItem item;
        item.kind = "file";
        item.encoding = index % 3;
        if (spent[item.encoding] >= budget[item.encoding])
            continue;
        const Bytes plain =
            Content(std::min(kFileItem, budget[item.encoding] - spent[item.encoding]), 100 + unsigned(index));
        spent[item.encoding] += plain.size();
        item.installed = static_cast<int64_t>(plain.size());
        PackageWriter::EncodedData encoded;
        encoded.installedSize = static_cast<uint32_t>(plain.size());
        encoded.installedDigest = PackageWriter::digestOf(plain);
        if (item.encoding == 0)
        {
            encoded.data = plain;
        }
        else if (item.encoding == 1)
        {
            encoded.encoding =
                PackageFormat::encodingByte(PackageFormat::kCompressionNone, PackageFormat::kCipherBlowfish);
            if (!PayloadEncoder::encrypt(1, plain.data(), plain.size(), encoded.data))
                return false;
        }
        else
        {
            encoded.encoding =
                PackageFormat::encodingByte(PackageFormat::kCompressionQtZlib, PackageFormat::kCipherNone);
            if (!PayloadEncoder::compress(plain.data(), plain.size(), encoded.data))
                return false;
        }
        PackageWriter::FileInfo info;
        // Files on both kinds of partition: ext3 (modes and owners) and FAT (attributes).
        info.path = std::string(index % 2 == 0 ? "/rootfs/opt/bench/" : "/kelda_usr/bench/") + "file" +
                    std::to_string(index) + ".bin";
        info.attributes = Attributes();
        item.path = info.path;
        item.stored = static_cast<int64_t>(encoded.data.size());
        const int64_t start = writer.bytesWritten();
        writer.addEncodedFile(info, encoded);
        item.offset =
            DataOffset(start, PackageWriter::filePayload(info, encoded).size(), encoded.data.size());
        plan.push_back(item);
    }

    TarItemBuilder tar("data");
    tar.AddDirectory("./data");
    const size_t member = tarBytes / kTarMembers;
    for (int n = 0; n < kTarMembers; ++n)
    {
        const Bytes bytes =
            Content(n + 1 < kTarMembers ? member : tarBytes - member * (kTarMembers - 1), 1000 + unsigned(n));
        tar.AddFile("./data/f" + std::to_string(n), std::string(bytes.begin(), bytes.end()));
    }
    Bytes archive;
    if (!tar.Build(archive, TarItemBuilder::Compression::Gzip))
        return false;
    const std::string destination = "/rootfs/opt/data.tar.gz";
    const int64_t start = writer.bytesWritten();
    writer.addTar(destination, archive, PackageFormat::kNoCondition,
                  static_cast<int64_t>(tar.ExpandedSize()));
    PlanItem item;
    item.kind = "tar";
    item.offset = DataOffset(start,
                             PackageWriter::tarPayload(destination, archive, PackageFormat::kNoCondition,
                                                       static_cast<uint32_t>(tar.ExpandedSize()))
                                 .size(),
                             archive.size());
    item.stored = static_cast<int64_t>(archive.size());
    item.path = "/rootfs/opt";
    plan.push_back(item);
    return writer.close();
}

// A package of `count` small plain files in folders of 500, for the memory bound.
bool MakeManyFilesPackage(const std::string& path, int64_t count)
{
    PackageWriter writer;
    writer.open(path);
    writer.addHeader(PackageWriter::Header());
    AddScripts(writer);
    writer.addDirectory("/rootfs/opt", Attributes());
    writer.addDirectory("/rootfs/opt/many", Attributes());
    for (int64_t n = 0; n < count; ++n)
    {
        const std::string folder = "/rootfs/opt/many/d" + std::to_string(n / 500);
        if (n % 500 == 0)
            writer.addDirectory(folder, Attributes());
        PackageWriter::FileInfo info;
        info.path = folder + "/f" + std::to_string(n);
        info.attributes = Attributes();
        writer.addFile(info, Content(200, unsigned(n)));
    }
    return writer.close();
}

bool CopyFile(const std::string& from, const std::string& to)
{
    boost::system::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    return !ec;
}

// Moves every plan offset by the bytes signing put in front of the chunks, and checks that each names the
// stored bytes it should (their first bytes, read from the signed package).
bool ShiftPlan(std::vector<PlanItem>& plan, int64_t shift, const std::string& signedPackage)
{
    std::ifstream in(signedPackage, std::ios::binary);
    for (PlanItem& item : plan)
    {
        item.offset += shift;
        in.seekg(item.offset);
        char head[4] = {};
        in.read(head, sizeof head);
        // Every stored form here starts with known bytes: text, a CBC vector (random), a zlib sub-chunk type
        // (256 little-endian) or the gzip magic.
        const bool known = item.kind == "tar" ? (uint8_t(head[0]) == 0x1f && uint8_t(head[1]) == 0x8b)
                           : item.encoding == 2
                               ? (head[0] == 0 && head[1] == 1 && head[2] == 0 && head[3] == 0)
                           : item.encoding == 0 ? (head[0] >= 'a' && head[0] < 'a' + 20)
                                                : true;
        if (!in || !known)
        {
            std::fprintf(stderr, "plan offset %lld of %s does not hold its stored bytes\n",
                         static_cast<long long>(item.offset), item.path.c_str());
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// The installer, as a process of its own.

// The shell of the instrument as far as the engine needs it: "mount" lists a table that "mount -w/-r" and
// "umount" change; scripts succeed.
class StandInRunner : public instrument::CommandRunner
{
public:
    int RunRedirected(const std::string& command, Capture capture, const std::string& outputFile) override
    {
        if (command == "mount" && capture == Capture::StandardOutput)
        {
            std::ofstream out(outputFile);
            for (const auto& entry : table_)
                out << "/dev/mmcblk0p1 on " << entry.first << " type ext3 (" << (entry.second ? "rw" : "ro")
                    << ")\n";
            return 0;
        }
        if (command.compare(0, 6, "mount ") == 0 && command.size() > 9)
            return table_.emplace(Unquote(command.substr(9)), command[7] == 'w').second ? 0 : 32 << 8;
        if (command.compare(0, 7, "umount ") == 0)
            return table_.erase(Unquote(command.substr(7))) == 1 ? 0 : 32 << 8;
        if (capture != Capture::StandardOutput && outputFile != kDiscard)
            std::ofstream(outputFile).flush();
        return 0;
    }

private:
    static std::string Unquote(std::string text)
    {
        if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'')
            text = text.substr(1, text.size() - 2);
        return text;
    }
    std::map<std::string, bool> table_;
};

// The host's disk has no FAT attributes; on the instrument setting them is one ioctl.
class HostDiskUtils : public instrument::LinuxDiskUtils
{
public:
    using LinuxDiskUtils::LinuxDiskUtils;
    bool SetVfatAttributes(const std::string&, bool, bool, bool, bool) override { return true; }
    bool SetVfatAttributesOf(int, const std::string&, bool, bool, bool, bool) override { return true; }
};

int InstallProcess(const std::string& package, const std::string& root, const std::string& keys,
                   bool readBackFiles)
{
    StandInRunner runner;
    install::InstallEnvironment environment;
    environment.emmcRoot = root + "/emmc";
    environment.tmpDir = root + "/tmp";
    environment.scriptDir = root + "/tmp/script";
    instrument::PartitionsManager partitions(runner, environment.emmcRoot, root + "/mount.out");
    HostDiskUtils disk(environment.emmcRoot);
    environment.partitions = &partitions;
    environment.disk = &disk;
    environment.runner = &runner;
    log::LogStream::Instance().Open(root + "/install.log");
    // A bench-only choice, not the instrument's rule (SecurityPolicy): a key folder given measures the signed
    // path, none the level-0 path, whatever files the bench machine happens to hold under /etc.
    SecurityLevel1Factory signedLevel(keys);
    SecurityLevelFactory& level =
        !keys.empty() ? static_cast<SecurityLevelFactory&>(signedLevel) : SecurityLevel0Factory::instance();
    std::unique_ptr<IPkgVerifier> verifier = level.createVerifier(nullptr);
    install::InstallationManager manager(nullptr, environment);
    install::InstallOptions options;
    options.readBackFiles = readBackFiles;
    const int result = manager.Install(package.c_str(), verifier.get(), options);
    log::LogStream::Instance().Close();
    if (result != install::InstallationManager::kInstalled)
        std::fprintf(stderr, "installation failed with %d (log: %s/install.log)\n", result, root.c_str());
    return result;
}

// ---------------------------------------------------------------------------------------------------------
// The same work by hand.

std::string FileMd5(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    MD5_CTX context;
    MD5_Init(&context);
    std::vector<uint8_t> buffer(1u << 20);
    for (;;)
    {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got <= 0)
            break;
        MD5_Update(&context, buffer.data(), static_cast<size_t>(got));
    }
    ::close(fd);
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5_Final(digest, &context);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

// How the work by hand gets its bytes onto the device: each file fsynced as it is written, or one syncfs of
// each partition written to at the end (what the installer does, when it unmounts).
bool g_perFileSync = true;

bool WriteAndSync(const std::string& path, const uint8_t* data, size_t length)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < length)
    {
        const ssize_t put = ::write(fd, data + done, length - done);
        if (put <= 0)
            break;
        done += static_cast<size_t>(put);
    }
    const bool ok = done == length && (!g_perFileSync || ::fsync(fd) == 0);
    return ::close(fd) == 0 && ok;
}

bool ReadAt(int fd, int64_t offset, Bytes& bytes)
{
    size_t done = 0;
    while (done < bytes.size())
    {
        const ssize_t got = ::pread(fd, bytes.data() + done, std::min<size_t>(bytes.size() - done, 1u << 20),
                                    static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool DecodeBlowfish(const Bytes& stored, Bytes& out)
{
    IKeyProvider* keys = SecurityLevel0Factory::instance().keyProvider();
    BF_KEY key;
    BF_set_key(&key, 8, keys->key());
    out.resize(stored.size());
    size_t produced = 0;
    for (size_t at = 0; at < stored.size(); at += kSegment + 16)
    {
        const size_t length = std::min(kSegment + 16, stored.size() - at);
        if (length < 16)
            return false;
        unsigned char iv[8];
        std::memcpy(iv, stored.data() + at, 8);
        BF_cbc_encrypt(stored.data() + at + 8, out.data() + produced, static_cast<long>(length - 8), &key, iv,
                       BF_DECRYPT);
        produced += length - 8 - out[produced + length - 9];
    }
    out.resize(produced);
    return true;
}

bool DecodeZlib(const Bytes& stored, size_t installed, Bytes& out)
{
    out.resize(installed + kZlibBlock);
    size_t produced = 0;
    for (size_t at = 0; at + 12 <= stored.size();)
    {
        uint32_t size = 0;
        std::memcpy(&size, stored.data() + at + 4, 4);
        uLongf length = kZlibBlock;
        if (size < 4 || produced + kZlibBlock > out.size() ||
            uncompress(out.data() + produced, &length, stored.data() + at + 12, size - 4) != Z_OK)
            return false;
        produced += length;
        at += 8 + size + (4 - size % 4) % 4;
    }
    out.resize(produced);
    return true;
}

bool ExtractTarByHand(const Bytes& archive, const std::string& folder)
{
    struct archive* reader = archive_read_new();
    archive_read_support_filter_gzip(reader);
    archive_read_support_format_tar(reader);
    struct archive* writer = archive_write_disk_new();
    archive_write_disk_set_options(writer, ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME);
    bool ok = archive_read_open_memory(reader, archive.data(), archive.size()) == ARCHIVE_OK;
    std::vector<std::string> written;
    struct archive_entry* entry = nullptr;
    while (ok && archive_read_next_header(reader, &entry) == ARCHIVE_OK)
    {
        const std::string path = folder + "/" + archive_entry_pathname(entry);
        archive_entry_copy_pathname(entry, path.c_str());
        ok = archive_write_header(writer, entry) == ARCHIVE_OK;
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        while (ok && archive_read_data_block(reader, &block, &size, &offset) == ARCHIVE_OK)
            ok = archive_write_data_block(writer, block, size, offset) == ARCHIVE_OK;
        ok = ok && archive_write_finish_entry(writer) == ARCHIVE_OK;
        if (archive_entry_filetype(entry) == AE_IFREG)
            written.push_back(path);
    }
    archive_read_free(reader);
    archive_write_free(writer);
    // Each file synced, then read back for its MD5, as the installer checks the archive's list.
    for (const std::string& path : written)
    {
        if (g_perFileSync)
        {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ok = ok && fd >= 0 && ::fsync(fd) == 0;
            if (fd >= 0)
                ::close(fd);
        }
        ok = ok && !FileMd5(path).empty();
    }
    return ok;
}

bool SyncFileSystem(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::syncfs(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

int ByHandProcess(const std::string& package, const std::string& root, const std::string& planPath)
{
    const int fd = ::open(package.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 2;
    bool ok = true;
    std::vector<std::string> partitions;
    for (const PlanItem& item : ReadPlan(planPath))
    {
        const std::string partition = root + "/emmc/" + item.path.substr(1, item.path.find('/', 1) - 1);
        if (std::find(partitions.begin(), partitions.end(), partition) == partitions.end())
            partitions.push_back(partition);
        Bytes stored(static_cast<size_t>(item.stored));
        ok = ok && ReadAt(fd, item.offset, stored);
        const std::string path = root + "/emmc" + item.path;
        if (item.kind == "tar")
        {
            ok = ok && ExtractTarByHand(stored, path);
            continue;
        }
        Bytes decoded;
        const Bytes* plain = &stored;
        if (item.encoding == 1)
            ok = ok && DecodeBlowfish(stored, decoded), plain = &decoded;
        else if (item.encoding == 2)
            ok = ok && DecodeZlib(stored, static_cast<size_t>(item.installed), decoded), plain = &decoded;
        ok = ok && WriteAndSync(path, plain->data(), plain->size()) && !FileMd5(path).empty();
    }
    ::close(fd);
    if (!g_perFileSync)
        for (const std::string& partition : partitions) ok = SyncFileSystem(partition) && ok;
    return ok ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------------------
// The benchmark program.

std::string g_self;
std::string g_dir;
std::string g_signed;
std::string g_unsigned;
std::string g_keys;
std::string g_plan;
std::string g_many;
std::string g_manyUnsigned;
int64_t g_bytes = 0;
int64_t g_manyFiles = 0;

// A fresh eMMC root with its partition folders (and the folders the package's items go into, for the work
// by hand, which makes no directories of its own).
std::string FreshRoot()
{
    const std::string root = g_dir + "/run";
    boost::system::error_code ec;
    fs::remove_all(root, ec);
    for (const char* part : kPartitions) fs::create_directories(root + "/emmc/" + part, ec);
    fs::create_directories(root + "/tmp/script", ec);
    fs::create_directories(root + "/emmc/rootfs/opt/bench", ec);
    fs::create_directories(root + "/emmc/kelda_usr/bench", ec);
    // What an earlier run left in the page cache is written back now, not during the next timed run.
    ::sync();
    return root;
}

struct Run
{
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;  // user and system time of the process
    long peakKiB = 0;
};

// Per benchmark: the best wall and CPU time of its runs and the highest peak. The wall time is the figure
// (the syncs are waits, not work); the CPU time, less disturbed by other work on the machine, shows where
// work went.
struct Best
{
    double seconds = 0;
    double cpuSeconds = 0;
    long peakKiB = 0;
    std::vector<double> all;
};
std::map<std::string, Best> g_best;

// Runs the command under GNU time, whose report gives the command's own peak resident memory: measured with
// wait4 from here it would include what this process held when it forked.
Run SpawnAndWait(const std::vector<std::string>& command)
{
    const std::string report = g_dir + "/time.out";
    std::vector<std::string> args = {"/usr/bin/time", "-f", "%M %U %S", "-o", report};
    args.insert(args.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    Run run;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return run;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::FILE* file = std::fopen(report.c_str(), "r");
    double user = 0, system = 0;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && file != nullptr &&
             std::fscanf(file, "%ld %lf %lf", &run.peakKiB, &user, &system) == 3;
    run.cpuSeconds = user + system;
    if (file != nullptr)
        std::fclose(file);
    return run;
}

void Measure(benchmark::State& state, const char* name, const std::vector<std::string>& arguments,
             int64_t bytes)
{
    for (auto _ : state)
    {
        std::vector<std::string> command = {g_self};
        command.insert(command.end(), arguments.begin(), arguments.end());
        command.push_back(FreshRoot());
        const Run run = SpawnAndWait(command);
        if (!run.ok)
        {
            state.SkipWithError(("failed: " + arguments[0] + " " + arguments[1]).c_str());
            return;
        }
        state.SetIterationTime(run.seconds);
        state.counters["peak_MiB"] = static_cast<double>(run.peakKiB) / 1024.0;
        state.counters["cpu_s"] = run.cpuSeconds;
        Best& best = g_best[name];
        best.seconds = best.all.empty() ? run.seconds : std::min(best.seconds, run.seconds);
        best.cpuSeconds = best.all.empty() ? run.cpuSeconds : std::min(best.cpuSeconds, run.cpuSeconds);
        best.peakKiB = std::max(best.peakKiB, run.peakKiB);
        best.all.push_back(run.seconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}

void BM_InstallSigned(benchmark::State& state)
{
    Measure(state, "InstallSigned", {"--install", g_signed, "--keys", g_keys}, g_bytes);
}

// Files checked against the copy in the page cache instead of what the disk returns (boot images and
// kernels are read back either way).
void BM_InstallSignedNoReadBack(benchmark::State& state)
{
    Measure(state, "InstallSignedNoReadBack", {"--install-cached", g_signed, "--keys", g_keys}, g_bytes);
}

void BM_InstallUnsignedNoKeys(benchmark::State& state)
{
    Measure(state, "InstallUnsignedNoKeys", {"--install", g_unsigned, "--keys", ""}, g_bytes);
}

void BM_ByHand(benchmark::State& state)
{
    Measure(state, "ByHandFsyncEachFile", {"--by-hand", g_signed, "--plan", g_plan}, g_bytes);
}

void BM_ByHandSyncfs(benchmark::State& state)
{
    Measure(state, "ByHand", {"--by-hand-syncfs", g_signed, "--plan", g_plan}, g_bytes);
}

void BM_InstallManyFilesSigned(benchmark::State& state)
{
    Measure(state, "InstallManyFilesSigned", {"--install", g_many, "--keys", g_keys}, 0);
}

// The same package unsigned, on an instrument without keys: no index is held.
void BM_InstallManyFilesUnsigned(benchmark::State& state)
{
    Measure(state, "InstallManyFilesUnsignedNoKeys", {"--install", g_manyUnsigned, "--keys", ""}, 0);
}

// One digest per 256 KiB block, the index's block size, as the checking reader takes them.
void Digest(benchmark::State& state, const char* name)
{
    const Bytes block = Content(kDigestBlock, 7);
    EVP_MD* method = EVP_MD_fetch(nullptr, name, nullptr);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state)
    {
        if (EVP_DigestInit_ex2(context, method, nullptr) != 1 ||
            EVP_DigestUpdate(context, block.data(), block.size()) != 1 ||
            EVP_DigestFinal_ex(context, digest, &length) != 1)
        {
            state.SkipWithError("digest failed");
            break;
        }
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(context);
    EVP_MD_free(method);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block.size()));
}

void BM_Sha256_256KiB(benchmark::State& state)
{
    Digest(state, "SHA256");
}

void BM_Sha512_256KiB(benchmark::State& state)
{
    Digest(state, "SHA512");
}

// The clock the digests ran at, from /proc/cpuinfo ("cpu MHz"), for cycles per byte; 0 when unknown.
double CpuMHz()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
    {
        if (line.compare(0, 7, "cpu MHz") == 0)
        {
            const size_t colon = line.find(':');
            return colon != std::string::npos ? std::atof(line.c_str() + colon + 1) : 0;
        }
    }
    return 0;
}

// The packages, the key and the plan in g_dir.
bool MakePackages(int64_t mib)
{
    boost::system::error_code ec;
    std::string error;
    std::vector<PlanItem> plan;
    if (!PackageSigner::generateKeyPair(g_dir + "/bench.key", g_keys + "/bench.pem", error) ||
        !MakePackage(g_unsigned, mib, plan) || !CopyFile(g_unsigned, g_signed) ||
        !PackageSigner::sign(g_signed, g_dir + "/bench.key", error))
    {
        std::fprintf(stderr, "cannot make the package: %s\n", error.c_str());
        return false;
    }
    g_bytes = static_cast<int64_t>(fs::file_size(g_signed, ec));
    const int64_t shift = g_bytes - static_cast<int64_t>(fs::file_size(g_unsigned, ec));
    if (!ShiftPlan(plan, shift, g_signed) || !WritePlan(g_plan, plan))
        return false;
    if (g_manyFiles > 0)
    {
        if (!MakeManyFilesPackage(g_manyUnsigned, g_manyFiles) || !CopyFile(g_manyUnsigned, g_many) ||
            !PackageSigner::sign(g_many, g_dir + "/bench.key", error))
        {
            std::fprintf(stderr, "cannot make the many-files package: %s\n", error.c_str());
            return false;
        }
    }
    return true;
}

bool Prepare(int64_t mib)
{
    boost::system::error_code ec;
    g_dir = (fs::temp_directory_path(ec) / fs::unique_path("vex-bench-install-%%%%-%%%%", ec)).string();
    // VEX_BENCH_INSTALL_DIR: the packages a run kept (VEX_BENCH_INSTALL_KEEP), taken as they are.
    const char* kept = std::getenv("VEX_BENCH_INSTALL_DIR");
    const bool reuse = kept != nullptr && *kept != '\0';
    if (reuse)
        g_dir = kept;
    fs::create_directories(g_dir + "/keys", ec);
    g_unsigned = g_dir + "/unsigned.pkg";
    g_signed = g_dir + "/signed.pkg";
    g_keys = g_dir + "/keys";
    g_plan = g_dir + "/plan.txt";
    g_manyFiles = EnvNumber("VEX_BENCH_INSTALL_FILES", 50000);
    g_many = g_dir + "/many.pkg";
    g_manyUnsigned = g_dir + "/many-unsigned.pkg";
    if (reuse)
    {
        g_bytes = static_cast<int64_t>(fs::file_size(g_signed, ec));
        if (ec)
            return false;
        if (g_manyFiles > 0 && !fs::exists(g_many, ec))
            g_manyFiles = 0;
    }
    else if (!MakePackages(mib))
    {
        return false;
    }
    // Both sides find the packages in the page cache.
    for (const std::string& path : {g_signed, g_unsigned})
    {
        std::ifstream in(path, std::ios::binary);
        std::vector<char> buffer(1u << 20);
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())))
        {
        }
    }
    return true;
}
}  // namespace

int main(int argc, char** argv)
{
    // The child processes: "--install PACKAGE --keys KEYS ROOT" and "--by-hand PACKAGE --plan PLAN ROOT".
    if (argc == 6 &&
        (std::strcmp(argv[1], "--install") == 0 || std::strcmp(argv[1], "--install-cached") == 0))
        return InstallProcess(argv[2], argv[5], argv[4], std::strcmp(argv[1], "--install") == 0) == 0 ? 0 : 1;
    if (argc == 6 &&
        (std::strcmp(argv[1], "--by-hand") == 0 || std::strcmp(argv[1], "--by-hand-syncfs") == 0))
    {
        g_perFileSync = std::strcmp(argv[1], "--by-hand") == 0;
        return ByHandProcess(argv[2], argv[5], argv[4]);
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    g_self = argv[0];
    const int64_t mib = std::max<int64_t>(EnvNumber("VEX_BENCH_INSTALL_MIB", 520), 8);
    const int repetitions = static_cast<int>(std::max<int64_t>(EnvNumber("VEX_BENCH_INSTALL_RUNS", 5), 1));
    int status = 1;
    if (Prepare(mib))
    {
        benchmark::RegisterBenchmark("Sha256_256KiB", BM_Sha256_256KiB);
        benchmark::RegisterBenchmark("Sha512_256KiB", BM_Sha512_256KiB);
        // Round by round, so that a burst of other work on the machine falls on every side alike.
        for (int round = 0; round < repetitions; ++round)
        {
            for (auto* bench :
                 {benchmark::RegisterBenchmark("ByHand", BM_ByHandSyncfs),
                  benchmark::RegisterBenchmark("InstallSigned", BM_InstallSigned),
                  benchmark::RegisterBenchmark("InstallSignedNoReadBack", BM_InstallSignedNoReadBack),
                  benchmark::RegisterBenchmark("InstallUnsignedNoKeys", BM_InstallUnsignedNoKeys)})
                bench->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
        }
        // Once: the same work with an fsync per file, which costs far more than one syncfs per partition.
        benchmark::RegisterBenchmark("ByHandFsyncEachFile", BM_ByHand)
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
        if (g_manyFiles > 0)
        {
            benchmark::RegisterBenchmark("InstallManyFilesSigned", BM_InstallManyFilesSigned)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark("InstallManyFilesUnsignedNoKeys", BM_InstallManyFilesUnsigned)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
        BestRunReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);

        const double mhz = CpuMHz();
        std::printf("\npackage: %.0f MiB (%d tar members), best of %d runs each\n",
                    static_cast<double>(g_bytes) / (1 << 20), kTarMembers, repetitions);
        for (const char* name : {"Sha256_256KiB", "Sha512_256KiB"})
        {
            const double rate = reporter.Highest(name, "bytes_per_second");
            if (rate > 0)
                std::printf("%s: %.0f MiB/s, %.2f cycles/byte at %.0f MHz\n", name, rate / (1 << 20),
                            mhz * 1e6 / rate, mhz);
        }
        for (const auto& row : g_best)
        {
            std::printf("%-24s best %8.0f ms wall, %7.0f ms CPU, peak %6.1f MiB; runs:", row.first.c_str(),
                        row.second.seconds * 1e3, row.second.cpuSeconds * 1e3,
                        static_cast<double>(row.second.peakKiB) / 1024);
            for (const double seconds : row.second.all) std::printf(" %.0f", seconds * 1e3);
            std::printf("\n");
        }
        const Best& hand = g_best["ByHand"];
        const Best& installed = g_best["InstallSigned"];
        const Best& plain = g_best["InstallUnsignedNoKeys"];
        if (hand.seconds > 0 && installed.seconds > 0)
        {
            const double ratio = installed.seconds / hand.seconds;
            std::printf(
                "install (signed, index checked) / by hand: %.3f wall (target <= 1.05) %s, %.3f CPU; "
                "installer peak %.1f MiB\n",
                ratio, ratio <= 1.05 ? "ok" : "ABOVE TARGET", installed.cpuSeconds / hand.cpuSeconds,
                static_cast<double>(installed.peakKiB) / 1024);
        }
        if (plain.seconds > 0 && installed.seconds > 0)
            std::printf(
                "index check: signed against unsigned without keys: %+.1f %% wall, %+.1f %% CPU "
                "(%+.0f ms CPU)\n",
                100.0 * (installed.seconds - plain.seconds) / plain.seconds,
                100.0 * (installed.cpuSeconds - plain.cpuSeconds) / plain.cpuSeconds,
                1e3 * (installed.cpuSeconds - plain.cpuSeconds));
        const Best& cached = g_best["InstallSignedNoReadBack"];
        if (cached.seconds > 0 && installed.seconds > 0)
            std::printf(
                "read-back of files from the disk: %+.1f %% wall (%+.0f ms), %+.1f %% CPU against the "
                "digest from the page cache\n",
                100.0 * (installed.seconds - cached.seconds) / cached.seconds,
                1e3 * (installed.seconds - cached.seconds),
                100.0 * (installed.cpuSeconds - cached.cpuSeconds) / cached.cpuSeconds);
        const Best& many = g_best["InstallManyFilesSigned"];
        const Best& manyPlain = g_best["InstallManyFilesUnsignedNoKeys"];
        if (g_manyFiles > 0 && many.seconds > 0 && manyPlain.seconds > 0)
            std::printf(
                "%lld small files: installer peak %.1f MiB signed (index <= 16 MiB, one block <= 1 MiB), "
                "%.1f MiB unsigned without keys; the index and its reader add %.1f MiB\n",
                static_cast<long long>(g_manyFiles), static_cast<double>(many.peakKiB) / 1024,
                static_cast<double>(manyPlain.peakKiB) / 1024,
                static_cast<double>(many.peakKiB - manyPlain.peakKiB) / 1024);
        status = 0;
    }
    benchmark::Shutdown();
    boost::system::error_code ec;
    // VEX_BENCH_INSTALL_KEEP=1 keeps the packages, for profiling a child run by hand.
    if (EnvNumber("VEX_BENCH_INSTALL_KEEP", 0) != 0 || std::getenv("VEX_BENCH_INSTALL_DIR") != nullptr)
        std::printf("kept: %s\n", g_dir.c_str());
    else if (!g_dir.empty())
        fs::remove_all(g_dir, ec);
    return status;
}
