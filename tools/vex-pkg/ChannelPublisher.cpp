#include "tools/vex-pkg/ChannelPublisher.h"

#include "base/UniqueFd.h"
#include "fleet/ChannelDocument.h"
#include "fleet/ChannelSignature.h"
#include "fleet/ChannelVerifier.h"
#include "instrument/RegularFile.h"
#include "pkg/read/PackageParts.h"
#include "pkg/trust/Ed25519Key.h"
#include "pkg/trust/Sha256.h"
#include "tools/vex-pkg/IndexCheck.h"
#include "tools/vex-pkg/PackageSignature.h"
#include "tools/vex-pkg/ToolSupport.h"
#include "tools/vex-pkg/VexPkgCommands.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace vex::tools
{
namespace
{
namespace fs = boost::filesystem;

constexpr size_t kCopyBuffer = size_t(1) << 20;
constexpr size_t kLargestSignatureFile = 4096;

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// A file this run made and has not yet renamed into place; removed unless kept.
struct TemporaryFile
{
    std::string path;
    ~TemporaryFile()
    {
        if (!path.empty())
            ::unlink(path.c_str());
    }
    void keep() { path.clear(); }
};

bool WriteAll(int fd, const void* data, size_t length)
{
    const auto* at = static_cast<const uint8_t*>(data);
    while (length > 0)
    {
        const ssize_t written = ::write(fd, at, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        at += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool SyncFolder(const std::string& directory, std::string& why)
{
    base::UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid() || ::fsync(fd.get()) != 0)
    {
        why = SystemError("cannot sync " + directory);
        return false;
    }
    return true;
}

// A new temporary file in `directory` (same file system as its final place); `suffix` keeps its name from
// ending like a split package's first part.
base::UniqueFd MakeTemporary(const std::string& directory, const std::string& stem, TemporaryFile& file,
                             std::string& why)
{
    std::string pattern = (fs::path(directory) / ("." + stem + "-XXXXXX.tmp")).string();
    base::UniqueFd fd(::mkstemps(&pattern[0], 4));
    if (!fd.valid())
        why = SystemError("cannot create a file in " + directory);
    else
        file.path = pattern;
    return fd;
}

bool SyncAndClose(base::UniqueFd& fd, const std::string& path, std::string& why)
{
    if (::fsync(fd.get()) != 0 || !fd.close())
    {
        why = SystemError("cannot write " + path);
        return false;
    }
    return true;
}

// Writes `bytes` to `directory`/`name` through a synced temporary file renamed over it.
bool WriteAtomically(const std::string& directory, const std::string& name, const std::string& bytes,
                     std::string& why)
{
    TemporaryFile file;
    base::UniqueFd fd = MakeTemporary(directory, name, file, why);
    if (!fd.valid())
        return false;
    const std::string target = (fs::path(directory) / name).string();
    if (!WriteAll(fd.get(), bytes.data(), bytes.size()))
    {
        why = SystemError("cannot write " + file.path);
        return false;
    }
    if (!SyncAndClose(fd, file.path, why))
        return false;
    if (::rename(file.path.c_str(), target.c_str()) != 0)
    {
        why = SystemError("cannot rename " + file.path + " to " + target);
        return false;
    }
    file.keep();
    return SyncFolder(directory, why);
}

// Reads a whole file of at most `largest` bytes, exactly as it is (a signature covers every byte);
// `missing` tells a file that does not exist from one that cannot be read, is no regular file (a FIFO there
// would block the read for ever) or is too large.
bool ReadSmallFile(const std::string& path, size_t largest, std::string& bytes, bool& missing,
                   std::string& why)
{
    missing = false;
    instrument::RegularFile file;
    errno = 0;
    if (!file.Open(path))
    {
        missing = errno == ENOENT;
        why = errno != 0 ? SystemError("cannot open " + path) : path + " is not a regular file";
        return false;
    }
    bytes.clear();
    std::vector<char> buffer(64 * 1024);
    for (;;)
    {
        const long long got = file.Read(buffer.data(), buffer.size());
        if (got < 0)
        {
            why = SystemError("cannot read " + path);
            return false;
        }
        if (got == 0)
            return true;
        if (bytes.size() + static_cast<size_t>(got) > largest)
        {
            why = path + " is larger than " + std::to_string(largest) + " bytes";
            return false;
        }
        bytes.append(buffer.data(), static_cast<size_t>(got));
    }
}

std::string Hex(const pkg::Sha256::Digest& digest)
{
    return pkg::Ed25519Key::hex(digest.data(), digest.size());
}

// A private folder holding the public half of the signing key, so that the package and the channel are
// checked with the installer's and the instrument's own verifiers, which read keys from a folder.
class PublicKeyFolder
{
public:
    ~PublicKeyFolder()
    {
        boost::system::error_code ec;
        if (!path_.empty())
            fs::remove_all(path_, ec);
    }

    bool make(const pkg::Ed25519Key& key, std::string& why)
    {
        boost::system::error_code ec;
        const fs::path temporary = fs::temp_directory_path(ec);
        std::string pattern = ((ec ? fs::path("/tmp") : temporary) / "vex-pkg-publish-XXXXXX").string();
        if (::mkdtemp(&pattern[0]) == nullptr)
        {
            why = SystemError("cannot create a temporary folder");
            return false;
        }
        path_ = pattern;
        const std::string file = path_ + "/signing.pem";
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(file.c_str(), "w"), &BIO_free);
        if (!bio || PEM_write_bio_PUBKEY(bio.get(), key.handle()) != 1)
        {
            why = "cannot write the public key to " + file;
            return false;
        }
        return true;
    }

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Copies the package into `packages` under a temporary name, hashing what it writes.
bool CopyIn(const std::string& package, const std::string& packages, TemporaryFile& copy,
            pkg::Sha256::Digest& digest, std::string& why)
{
    base::UniqueFd in(::open(package.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info = {};
    if (!in.valid() || ::fstat(in.get(), &info) != 0)
    {
        why = SystemError("cannot open " + package);
        return false;
    }
    if (!S_ISREG(info.st_mode))
    {
        why = package + " is not a regular file";
        return false;
    }
    base::UniqueFd out = MakeTemporary(packages, "incoming", copy, why);
    if (!out.valid())
        return false;
    pkg::Sha256 sha;
    std::vector<uint8_t> buffer(kCopyBuffer);
    if (!sha.begin())
    {
        why = "SHA-256 failed";
        return false;
    }
    for (;;)
    {
        const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
        {
            why = SystemError("cannot read " + package);
            return false;
        }
        if (got == 0)
            break;
        if (!sha.update(buffer.data(), static_cast<size_t>(got)) ||
            !WriteAll(out.get(), buffer.data(), static_cast<size_t>(got)))
        {
            why = SystemError("cannot write " + copy.path);
            return false;
        }
    }
    if (!sha.finish(digest))
    {
        why = "SHA-256 failed";
        return false;
    }
    return SyncAndClose(out, copy.path, why);
}

// SHA-256 of `path` up to its end, or of its first `length` bytes (all of them must be there).
bool HashFile(const std::string& path, uint64_t length, bool whole, std::string& hex, std::string& why)
{
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid())
    {
        why = SystemError("cannot open " + path);
        return false;
    }
    pkg::Sha256 sha;
    std::vector<uint8_t> buffer(kCopyBuffer);
    if (!sha.begin())
    {
        why = "SHA-256 failed";
        return false;
    }
    while (length > 0)
    {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
        const ssize_t got = ::read(fd.get(), buffer.data(), want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 && whole)
            break;
        if (got <= 0)
        {
            why = "cannot read " + path;
            return false;
        }
        sha.update(buffer.data(), static_cast<size_t>(got));
        length -= static_cast<uint64_t>(got);
    }
    pkg::Sha256::Digest digest{};
    if (!sha.finish(digest))
    {
        why = "SHA-256 failed";
        return false;
    }
    hex = Hex(digest);
    return true;
}

// The channel as it stands: verified with the signing key, or (with --new-channel) started afresh. A new
// channel still continues the sequence of a document it replaces when one can be read, so that instruments
// that accepted it take the new one.
bool CurrentChannel(const ChannelPublisher::Request& request, const std::string& keyFolder,
                    fleet::ChannelDocument& document, std::string& why)
{
    const std::string path = (fs::path(request.directory) / (request.channel + ".json")).string();
    std::string bytes, signature, problem;
    bool missing = false;
    if (!ReadSmallFile(path, fleet::ChannelDocument::kLargestDocument, bytes, missing, problem))
    {
        if (missing || request.newChannel)
        {
            document.name = request.channel;
            return true;
        }
        why = problem;
        return false;
    }
    bool sigMissing = false;
    if (ReadSmallFile(path + ".sig", kLargestSignatureFile, signature, sigMissing, problem))
    {
        // Expiry does not stop a publish (it is what renews the document): no time has passed for it.
        const fleet::ChannelVerifier verifier(keyFolder);
        if (verifier.check(request.channel, bytes, signature, INT64_MIN, 0, document, problem) !=
            fleet::ChannelVerifier::Verdict::kRefused)
            return true;
    }
    if (!request.newChannel)
    {
        why = path + " does not verify with this key (" + problem +
              "); --new-channel starts the channel afresh";
        return false;
    }
    fleet::ChannelDocument unverified;
    std::string ignored;
    document = fleet::ChannelDocument();
    document.name = request.channel;
    if (fleet::ChannelDocument::parse(bytes, unverified, ignored))
        document.sequence = unverified.sequence;
    return true;
}
}  // namespace

bool ChannelPublisher::publish(const Request& request, std::ostream& out, std::string& why)
{
    pkg::Ed25519Key key;
    if (!LoadSigningKey(request.privateKey, key, why))
        return false;
    if (pkg::PackageParts::isFirstPart(request.package))
    {
        why = request.package + " is a split package: only a package of one file can be published";
        return false;
    }
    PublicKeyFolder keyFolder;
    if (!keyFolder.make(key, why))
        return false;
    const std::string packages = (fs::path(request.directory) / "packages").string();
    boost::system::error_code ec;
    fs::create_directories(packages, ec);
    if (ec)
    {
        why = "cannot create " + packages + ": " + ec.message();
        return false;
    }

    // The copy is what gets checked and published, so that a package changed after its check is not.
    // Publishing is the last point where a bad package can be stopped: it must carry a signed index, be
    // signed by this very key, and hold every block its index names.
    TemporaryFile copy;
    pkg::Sha256::Digest whole{};
    if (!CopyIn(request.package, packages, copy, whole, why))
        return false;
    std::string detail;
    std::shared_ptr<const pkg::PackageIndex> index;
    if (!IndexCheck::HasIndex(copy.path))
    {
        why = request.package + " has no signed index: sign it with vex-pkg sign first";
        return false;
    }
    if (!PackageSignature::Check(copy.path, keyFolder.path(), nullptr, detail, index) || index == nullptr)
    {
        why = request.package + " does not verify with this key: " + detail;
        return false;
    }
    std::string problem;
    if (!IndexCheck::ReadThrough(copy.path, index, nullptr, problem))
    {
        why = request.package + ": " + problem;
        return false;
    }

    fleet::ChannelRelease release;
    release.version = index->version();
    release.compatibility = index->compatibility();
    release.length = static_cast<uint64_t>(index->streamLength());
    release.indexLength = static_cast<uint64_t>(index->dataStart());
    release.minInstaller = index->minInstaller();
    release.rollout = request.rollout;
    const std::string name = Hex(whole) + ".pkg";
    release.path = "packages/" + name;
    if (!HashFile(copy.path, release.indexLength, false, release.indexSha256, why))
        return false;

    fleet::ChannelDocument document;
    if (!CurrentChannel(request, keyFolder.path(), document, why))
        return false;
    if (document.sequence == UINT64_MAX)
    {
        why = "the channel's sequence cannot grow any further";
        return false;
    }
    document.setRelease(release);
    ++document.sequence;
    document.expires = request.now + request.expiresInDays * 86400;
    if (!document.valid(problem))
    {
        why = "the channel document would be refused: " + problem;
        return false;
    }

    // Content-addressed: a file of that name that holds these very bytes is kept as it is; anything else
    // there (a damaged copy, a link) is replaced.
    const std::string target = (fs::path(packages) / name).string();
    std::string present, ignored;
    if (!fs::is_regular_file(fs::symlink_status(target, ec)) ||
        !HashFile(target, UINT64_MAX, true, present, ignored) || present != Hex(whole))
    {
        present.clear();
        if (::rename(copy.path.c_str(), target.c_str()) != 0)
        {
            why = SystemError("cannot rename " + copy.path + " to " + target);
            return false;
        }
        copy.keep();
        if (!SyncFolder(packages, why))
            return false;
    }

    const std::string text = document.serialize();
    std::string signature;
    if (!fleet::ChannelSignature::sign(text, key, signature, why))
        return false;
    // Both files are written whole under temporary names first, so only the two renames are apart. The
    // signature covers the document's exact bytes, so no order lets a client accept a document with another
    // document's signature: in between, the new document sits beside the old signature and is refused as a
    // bad signature until the next poll. The signature goes last so that a publish cut off between the two
    // leaves a document that does not verify, which the next publish refuses to build on (unless told
    // --new-channel) rather than extend a document nobody signed.
    if (!WriteAtomically(request.directory, request.channel + ".json", text, why) ||
        !WriteAtomically(request.directory, request.channel + ".json.sig", signature, why))
        return false;

    out << "published " << release.version.text() << " as " << release.path
        << (present.empty() ? "" : " (already there)") << '\n'
        << "channel " << document.name << " sequence " << document.sequence << ", expires "
        << fleet::ChannelDocument::timeText(document.expires) << ", signed by key ID "
        << pkg::Ed25519Key::hex(key.keyId().data(), key.keyId().size()) << '\n';
    return true;
}

bool ChannelPublisher::list(const std::string& directory, const std::string& channel,
                            const std::string& keyDirectory, int64_t now, std::ostream& out, std::string& why)
{
    const std::string path = (fs::path(directory) / (channel + ".json")).string();
    std::string bytes, signature;
    bool missing = false;
    if (!ReadSmallFile(path, fleet::ChannelDocument::kLargestDocument, bytes, missing, why))
        return false;
    fleet::ChannelDocument document;
    std::string verdict;
    if (!keyDirectory.empty())
    {
        if (!ReadSmallFile(path + ".sig", kLargestSignatureFile, signature, missing, why))
            return false;
        const fleet::ChannelVerifier verifier(keyDirectory);
        if (verifier.check(channel, bytes, signature, now, 0, document, why) ==
            fleet::ChannelVerifier::Verdict::kRefused)
            return false;
        pkg::Ed25519Key::KeyId id{};
        pkg::Ed25519Key::Signature value{};
        fleet::ChannelSignature::read(signature, id, value);
        verdict = "verified, key ID " + pkg::Ed25519Key::hex(id.data(), id.size());
    }
    else
    {
        if (!fleet::ChannelDocument::parse(bytes, document, why))
        {
            why = path + ": " + why;
            return false;
        }
        verdict = "not checked (no --keys)";
    }
    out << "channel: " << document.name << '\n'
        << "sequence: " << document.sequence << '\n'
        << "expires: " << fleet::ChannelDocument::timeText(document.expires) << '\n'
        << "signature: " << verdict << '\n'
        << "releases: " << document.releases.size() << '\n';
    for (const fleet::ChannelRelease& release : document.releases)
    {
        out << "release " << release.version.text() << "  compatibility";
        for (const std::string& id : release.compatibility) out << ' ' << id;
        out << "  rollout " << release.rollout << "%  min installer " << release.minInstaller.text()
            << "  size " << release.length << "  path " << release.path << '\n';
    }
    return true;
}

}  // namespace vex::tools
