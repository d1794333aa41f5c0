#include "fleet/PackageDownloader.h"

#include "base/AtomicFile.h"
#include "base/ByteOrder.h"
#include "base/UniqueFd.h"
#include "fleet/ContentRange.h"
#include "fleet/DownloadJournal.h"
#include "instrument/linux/LinuxDiskUtils.h"
#include "pkg/read/IStreamReader.h"
#include "pkg/read/PackageFormat.h"
#include "pkg/trust/Ed25519Key.h"
#include "pkg/trust/IndexFormat.h"
#include "pkg/trust/Sha256.h"
#include "pkg/trust/SignatureFormat.h"
#include "pkg/trust/SignatureVerifier.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace vex::fleet
{
namespace
{
// The most a signed prefix can take: the lead-in, the largest index chunk with its padding, the signature.
constexpr uint64_t kLargestPrefix =
    uint64_t(pkg::PackageFormat::kLeadInSize + pkg::PackageFormat::kChunkHeaderSize +
             pkg::IndexFormat::kLargestIndex + 3 + pkg::SignatureFormat::kChunkSize);
// ETag changes tolerated in one call before the file is taken to be changing under us.
constexpr int kMostStartOvers = 2;
// Failures of one block, in a row, before the download starts over (once) or is given up.
constexpr int kBlockFailuresBeforeStartOver = 2;
constexpr size_t kMostFolderEntries = 1024;

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// The first `indexLength` bytes of a package seen as a package of its full length, so that the installer's
// own verifier judges them: it reads only the lead-in, the index and the signature, which all lie there.
class PrefixReader : public pkg::IStreamReader
{
public:
    PrefixReader(const std::vector<uint8_t>& bytes, uint64_t claimedSize) : bytes_(bytes), size_(claimedSize)
    {
    }

    int64_t read(void* buffer, uint64_t length) override
    {
        if (position_ >= bytes_.size())
            return 0;
        const uint64_t count = std::min<uint64_t>(length, bytes_.size() - position_);
        std::memcpy(buffer, bytes_.data() + position_, size_t(count));
        position_ += count;
        return int64_t(count);
    }
    bool seek(uint64_t offset) override
    {
        if (offset > size_)
            return false;
        position_ = offset;
        return true;
    }
    int64_t tell() override { return int64_t(position_); }
    int64_t size() override { return int64_t(size_); }

private:
    const std::vector<uint8_t>& bytes_;
    uint64_t size_;
    uint64_t position_ = 0;
};

// At most `longest` bytes of a server's text, fit for a one-line message.
std::string Printable(const std::string& text, size_t longest)
{
    std::string shown = text.substr(0, longest);
    for (char& c : shown)
        if (c < ' ' || c > '~')
            c = '?';
    return shown;
}

std::string Trimmed(const std::string& text)
{
    const size_t start = text.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : text.substr(start);
}

std::string Sha256Hex(const uint8_t* data, size_t length)
{
    pkg::Sha256 sha;
    pkg::Sha256::Digest digest{};
    if (!sha.digest(data, length, digest))
        return std::string();
    return pkg::Ed25519Key::hex(digest.data(), digest.size());
}

bool WriteAll(int fd, const uint8_t* data, size_t length, uint64_t offset)
{
    size_t done = 0;
    while (done < length)
    {
        const ssize_t wrote = ::pwrite(fd, data + done, length - done, off_t(offset + done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += size_t(wrote);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* data, size_t length, uint64_t offset)
{
    size_t done = 0;
    while (done < length)
    {
        const ssize_t got = ::pread(fd, data + done, length - done, off_t(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += size_t(got);
    }
    return true;
}

// A regular file (not a link) of exactly `length` bytes, opened for reading.
base::UniqueFd OpenOfLength(const std::string& path, uint64_t length)
{
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat info;
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        uint64_t(info.st_size) != length)
        return base::UniqueFd();
    return fd;
}

// One call of download(): the state of the transfer loop.
class Session
{
public:
    using Outcome = PackageDownloader::Outcome;

    Session(HttpClient& http, const std::string& folder, const std::string& keyDirectory,
            const DownloadLimits& limits, const PackageDownloader::FreeSpace& freeSpace,
            const ChannelRelease& release, const std::string& url,
            const PackageDownloader::Progress& progress,
            const std::vector<std::pair<std::string, std::string>>& headers)
        : http_(http),
          folder_(folder),
          keyDirectory_(keyDirectory),
          limits_(limits),
          freeSpace_(freeSpace),
          release_(release),
          url_(url),
          progress_(progress),
          headers_(headers),
          partPath_(folder + "/" + PackageDownloader::kPartName),
          journalPath_(folder + "/" + PackageDownloader::kJournalName),
          packagePath_(folder + "/" + PackageDownloader::packageName(release.version))
    {
    }

    Outcome run(std::string& packagePath, std::string& why);

private:
    // How the last transfer ended.
    enum class Ending
    {
        kWhole,     // every byte asked for came and was checked
        kPassing,   // a fault that may pass: counted against the attempts
        kChanged,   // the server's file changed: start over from 0
        kBadBlock,  // a block did not match its digest
        kFatal,     // the release cannot be had as published
    };

    struct Transfer
    {
        uint64_t from = 0;
        uint64_t to = 0;
        bool accepted = false;
        uint64_t position = 0;  // stream offset of the next body byte
        uint64_t bodyEnd = 0;
        bool progressed = false;
        Ending ending = Ending::kPassing;
        std::string problem;
        std::string etag;  // with kChanged: the new file's
    };

    Outcome fail(const std::string& reason, std::string& why);
    Outcome retryLater(const std::string& reason, std::string& why);
    bool resume();
    bool startFresh(std::string& problem);
    bool startOver(const std::string& etag, std::string& problem);
    bool commit(std::string& problem);
    bool checkPrefixOnDisk(int fd);
    // The end of the checked blocks the part file holds from `from` (a block end) up to `onDisk`.
    uint64_t recheckFrom(uint64_t from, uint64_t onDisk);
    bool verifyPrefix(const std::vector<uint8_t>& bytes, std::string& problem);
    uint64_t blockEnd(uint64_t offset) const;
    bool checkBlock(std::string& problem);
    bool acceptHeaders(const HttpResponse& answer, Transfer& transfer);
    bool takeBody(const uint8_t* bytes, size_t length, Transfer& transfer);
    void exchange(Transfer& transfer);
    Outcome finish(std::string& packagePath, std::string& why);
    uint64_t transferBudget() const;

    HttpClient& http_;
    const std::string& folder_;
    const std::string& keyDirectory_;
    const DownloadLimits& limits_;
    const PackageDownloader::FreeSpace& freeSpace_;
    const ChannelRelease& release_;
    const std::string& url_;
    const PackageDownloader::Progress& progress_;
    const std::vector<std::pair<std::string, std::string>>& headers_;
    const std::string partPath_;
    const std::string journalPath_;
    const std::string packagePath_;

    DownloadJournal journal_;
    base::UniqueFd part_;
    // Bytes from the package's start that are checked and written to the part file (journaled or not yet).
    uint64_t checked_ = 0;
    std::shared_ptr<const pkg::PackageIndex> index_;
    // The block being received: [checked_, checked_ + block_.size() once full).
    std::vector<uint8_t> block_;
    uint64_t blockLength_ = 0;
    // Blocks of the package, the index counted as one (once the index is known).
    uint64_t blocks_ = 1;
    int startOvers_ = 0;
    bool restartedForBlocks_ = false;
    std::map<uint64_t, int> blockFailures_;
};

uint64_t Session::transferBudget() const
{
    // Every transfer either checks at least one block, or counts against the attempts or the start-overs,
    // each of which is bounded; this cap only stops a flaw in that reasoning from looping.
    return (blocks_ + 2) * uint64_t(kMostStartOvers + 3) + uint64_t(std::max(limits_.attempts, 1)) * 4 + 8;
}

PackageDownloader::Outcome Session::fail(const std::string& reason, std::string& why)
{
    why = reason;
    // Nothing of a release that cannot be had is kept: the next try starts from a clean folder.
    part_ = base::UniqueFd();
    ::unlink(journalPath_.c_str());
    ::unlink(partPath_.c_str());
    std::string ignored;
    base::AtomicFile::syncFolder(folder_, ignored);
    return Outcome::kFailed;
}

PackageDownloader::Outcome Session::retryLater(const std::string& reason, std::string& why)
{
    std::string problem;
    if (part_.valid() && !commit(problem))
        return fail(problem, why);
    why = reason;
    return Outcome::kRetryLater;
}

bool Session::commit(std::string& problem)
{
    if (checked_ == journal_.checked)
        return true;
    // The bytes first, then the journal that vouches for them: a journal never names unsynced bytes.
    if (::fdatasync(part_.get()) != 0)
    {
        problem = SystemError("cannot sync " + partPath_);
        return false;
    }
    DownloadJournal next = journal_;
    next.checked = checked_;
    if (!base::AtomicFile::write(journalPath_, next.serialize(), problem))
        return false;
    journal_ = next;
    return true;
}

bool Session::startFresh(std::string& problem)
{
    part_ = base::UniqueFd();
    index_.reset();
    checked_ = 0;
    journal_ = DownloadJournal();
    journal_.version = release_.version;
    journal_.indexSha256 = release_.indexSha256;
    journal_.length = release_.length;
    journal_.url = url_;
    // The journal first: a part file longer than its journal says is cut back when resumed.
    if (!base::AtomicFile::write(journalPath_, journal_.serialize(), problem))
        return false;
    part_ =
        base::UniqueFd(::open(partPath_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!part_.valid())
    {
        problem = SystemError("cannot create " + partPath_);
        return false;
    }
    return true;
}

bool Session::startOver(const std::string& etag, std::string& problem)
{
    ++startOvers_;
    index_.reset();
    checked_ = 0;
    blockFailures_.clear();
    DownloadJournal next = journal_;
    next.checked = 0;
    next.complete = false;
    next.etag = etag;
    if (!base::AtomicFile::write(journalPath_, next.serialize(), problem))
        return false;
    journal_ = next;
    if (::ftruncate(part_.get(), 0) != 0)
    {
        problem = SystemError("cannot truncate " + partPath_);
        return false;
    }
    return true;
}

bool Session::verifyPrefix(const std::vector<uint8_t>& bytes, std::string& problem)
{
    if (Sha256Hex(bytes.data(), bytes.size()) != release_.indexSha256)
    {
        problem = "the package's signed index is not the one the channel names (its SHA-256 differs)";
        return false;
    }
    PrefixReader reader(bytes, release_.length);
    pkg::SignatureVerifier verifier(keyDirectory_, nullptr);
    if (!verifier.verify(&reader))
    {
        problem = "the package's signature does not hold: " + Trimmed(verifier.resultDetail());
        return false;
    }
    const std::shared_ptr<const pkg::PackageIndex> index = verifier.signedIndex();
    if (!index)
    {
        problem = "the package's signature vouches for no index";
        return false;
    }
    std::vector<std::string> signedIds = index->compatibility();
    std::vector<std::string> channelIds = release_.compatibility;
    std::sort(signedIds.begin(), signedIds.end());
    std::sort(channelIds.begin(), channelIds.end());
    if (!(index->version() == release_.version) || uint64_t(index->streamLength()) != release_.length ||
        uint64_t(index->dataStart()) != release_.indexLength ||
        index->minInstaller().parts != release_.minInstaller.parts || signedIds != channelIds)
    {
        problem = "the package's signed index does not agree with the channel about release " +
                  release_.version.text() + " (signed: version " + index->version().text() + ", " +
                  std::to_string(index->streamLength()) + " bytes)";
        return false;
    }
    index_ = index;
    blocks_ = 1;
    for (const pkg::PackageIndex::Chunk& chunk : index->chunks()) blocks_ += chunk.blocks;
    return true;
}

bool Session::checkPrefixOnDisk(int fd)
{
    std::vector<uint8_t> bytes(size_t(release_.indexLength));
    std::string ignored;
    return ReadAll(fd, bytes.data(), bytes.size(), 0) && verifyPrefix(bytes, ignored);
}

uint64_t Session::blockEnd(uint64_t offset) const
{
    if (offset == 0)
        return release_.indexLength;
    const long chunkAt = index_->findChunk(int64_t(offset));
    const pkg::PackageIndex::Chunk& chunk = index_->chunks()[size_t(chunkAt)];
    const uint64_t size = index_->blockSize();
    const uint64_t block = (offset - uint64_t(chunk.offset)) / size;
    return std::min(uint64_t(chunk.offset) + (block + 1) * size, uint64_t(chunk.offset + chunk.length));
}

bool Session::checkBlock(std::string& problem)
{
    if (checked_ == 0)
    {
        if (!verifyPrefix(block_, problem))
            return false;
    }
    else
    {
        const long chunkAt = index_->findChunk(int64_t(checked_));
        const pkg::PackageIndex::Chunk& chunk = index_->chunks()[size_t(chunkAt)];
        const uint32_t block = uint32_t((checked_ - uint64_t(chunk.offset)) / index_->blockSize());
        pkg::Sha256 sha;
        pkg::Sha256::Digest digest{};
        if (!sha.digest(block_.data(), block_.size(), digest) ||
            std::memcmp(digest.data(), index_->digest(size_t(chunkAt), block), digest.size()) != 0)
        {
            problem = "the block at offset " + std::to_string(checked_) + " differs from the signed index";
            return false;
        }
    }
    return true;
}

bool Session::acceptHeaders(const HttpResponse& answer, Transfer& transfer)
{
    const std::string* etagField = answer.header("etag");
    // An ETag that could not be kept is no help in telling files apart: the block digests still are.
    const std::string etag =
        etagField != nullptr && DownloadJournal::validValue(*etagField) ? *etagField : "";
    const std::string range = std::to_string(transfer.from) + "-" + std::to_string(transfer.to - 1);
    const long status = answer.status;
    if (status == 206)
    {
        const std::string* field = answer.header("content-range");
        ContentRange got;
        if (field == nullptr || !ContentRange::parse(*field, got) || got.first != transfer.from ||
            got.last != transfer.to - 1 || (got.totalKnown && got.total != release_.length))
        {
            transfer.problem = "the server answered bytes " + range + " with Content-Range \"" +
                               (field == nullptr ? std::string() : Printable(*field, 100)) + "\"";
            return false;
        }
        if (etag != journal_.etag && checked_ != 0)
        {
            // These bytes are of another file than those checked so far: all of it is fetched anew.
            transfer.ending = Ending::kChanged;
            transfer.etag = etag;
            transfer.problem = "the package changed on the server";
            return false;
        }
        journal_.etag = etag;
        transfer.position = transfer.from;
        transfer.bodyEnd = transfer.to;
    }
    else if (status == 200)
    {
        // The server ignores ranges and sends the whole file: the bytes already checked are skipped, the
        // rest is checked as usual.
        if (etag != journal_.etag && checked_ != 0)
        {
            // Another file: everything counts anew, and this answer, starting at 0, is as good a start as
            // any.
            if (startOvers_ >= kMostStartOvers)
            {
                transfer.ending = Ending::kChanged;
                transfer.problem = "the package changed on the server";
                return false;
            }
            std::string problem;
            if (!startOver(etag, problem))
            {
                transfer.ending = Ending::kFatal;
                transfer.problem = problem;
                return false;
            }
        }
        journal_.etag = etag;
        transfer.position = 0;
        transfer.bodyEnd = release_.length;
    }
    else
    {
        const std::string answered = "the server answered " + std::to_string(status) + " for bytes " + range;
        if (status == 416)
        {
            transfer.ending = Ending::kFatal;
            transfer.problem = answered + ": its file is shorter than the release's " +
                               std::to_string(release_.length) + " bytes";
        }
        else if (status >= 300 && status < 400)
        {
            // Redirects are not followed: the channel names where the package lies.
            transfer.ending = Ending::kFatal;
            transfer.problem = answered + " (a redirect): the package is not where the channel says";
        }
        else if (status == 404 || status == 410)
        {
            transfer.ending = Ending::kFatal;
            transfer.problem = answered + ": the package is not where the channel says";
        }
        else if (status >= 400 && status < 500 && status != 408 && status != 429)
        {
            transfer.ending = Ending::kFatal;
            transfer.problem = answered;
        }
        else
            transfer.problem = answered;
        return false;
    }
    transfer.accepted = true;
    return true;
}

bool Session::takeBody(const uint8_t* bytes, size_t length, Transfer& transfer)
{
    // Bounded by `length`: every pass consumes at least one byte or stops.
    while (length > 0)
    {
        if (transfer.position >= transfer.bodyEnd)
        {
            transfer.problem = "the server sent more bytes than asked for";
            return false;
        }
        const uint64_t usable = std::min<uint64_t>(length, transfer.bodyEnd - transfer.position);
        if (transfer.position < checked_)
        {
            // Bytes this download already holds, checked, from a server that ignored the range.
            const uint64_t skip = std::min<uint64_t>(usable, checked_ - transfer.position);
            transfer.position += skip;
            bytes += skip;
            length -= size_t(skip);
            continue;
        }
        if (block_.empty())
            blockLength_ = blockEnd(checked_) - checked_;
        const size_t take = size_t(std::min<uint64_t>(usable, blockLength_ - block_.size()));
        block_.insert(block_.end(), bytes, bytes + take);
        transfer.position += take;
        bytes += take;
        length -= take;
        if (block_.size() < blockLength_)
            continue;

        std::string problem;
        const bool good = checkBlock(problem);
        if (!good)
        {
            block_.clear();
            transfer.problem = problem;
            // The prefix is the index: when it is not the signed one the channel names, no later bytes can be
            // checked against anything, and the server holds another package than the one published.
            transfer.ending = checked_ == 0 ? Ending::kFatal : Ending::kBadBlock;
            if (checked_ != 0)
                ++blockFailures_[checked_];
            return false;
        }
        if (!WriteAll(part_.get(), block_.data(), block_.size(), checked_))
        {
            block_.clear();
            transfer.ending = Ending::kFatal;
            transfer.problem = SystemError("cannot write " + partPath_);
            return false;
        }
        checked_ += block_.size();
        block_.clear();
        blockFailures_.erase(checked_ - blockLength_);
        transfer.progressed = true;
        if (checked_ - journal_.checked >= limits_.requestBytes && !commit(problem))
        {
            transfer.ending = Ending::kFatal;
            transfer.problem = problem;
            return false;
        }
        if (progress_)
            progress_(checked_, release_.length);
    }
    return true;
}

void Session::exchange(Transfer& transfer)
{
    HttpRequest request;
    request.url = url_;
    request.headers = headers_;
    request.headers.emplace_back(
        "Range", "bytes=" + std::to_string(transfer.from) + "-" + std::to_string(transfer.to - 1));
    // A weak ETag cannot make a range conditional; the block digests guard such a server's answers.
    if (!journal_.etag.empty() && journal_.etag.compare(0, 2, "W/") != 0)
        request.headers.emplace_back("If-Range", journal_.etag);
    request.largestBody = size_t(transfer.to - transfer.from);
    block_.clear();
    const HttpResponse response = http_.send(
        request, [&](const HttpResponse& answer) { return acceptHeaders(answer, transfer); },
        [&](const uint8_t* bytes, size_t length) { return takeBody(bytes, length, transfer); });
    block_.clear();
    if (!transfer.problem.empty())
        return;
    if (!transfer.accepted)
    {
        transfer.problem = response.error.empty() ? "no answer from the server" : response.error;
        return;
    }
    if (!response.error.empty())
    {
        transfer.problem = response.error;
        return;
    }
    if (transfer.position != transfer.bodyEnd)
    {
        transfer.problem = "the answer ended after " + std::to_string(transfer.position) + " of " +
                           std::to_string(transfer.bodyEnd) + " bytes";
        return;
    }
    transfer.ending = Ending::kWhole;
}

bool Session::resume()
{
    std::string bytes, problem;
    DownloadJournal found;
    if (base::AtomicFile::read(journalPath_, DownloadJournal::kLargest, bytes, problem) !=
            base::AtomicFile::Read::kRead ||
        !DownloadJournal::parse(bytes, found, problem) || !found.names(release_, url_))
        return false;
    if (found.complete || found.checked == release_.length)
    {
        // Complete, or every byte written and the rename perhaps done before the journal could say so.
        base::UniqueFd whole = OpenOfLength(packagePath_, release_.length);
        if (!whole.valid() && !found.complete)
            whole = OpenOfLength(partPath_, release_.length);
        if (!whole.valid() || !checkPrefixOnDisk(whole.get()))
            return false;
        journal_ = found;
        checked_ = release_.length;
        return true;
    }
    if (found.checked != 0 && found.checked < release_.indexLength)
        return false;
    part_ = base::UniqueFd(::open(partPath_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    if (!part_.valid() || ::fstat(part_.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        uint64_t(info.st_size) < found.checked)
    {
        part_ = base::UniqueFd();
        return false;
    }
    const uint64_t onDisk = std::min<uint64_t>(uint64_t(info.st_size), release_.length);
    uint64_t good = 0;
    // What the journal vouches for is trusted only once the index on disk is again the one the channel names.
    if (onDisk >= release_.indexLength && checkPrefixOnDisk(part_.get()))
        good = recheckFrom(found.checked == 0 ? release_.indexLength : found.checked, onDisk);
    else if (found.checked != 0)
    {
        part_ = base::UniqueFd();
        index_.reset();
        return false;
    }
    if (::ftruncate(part_.get(), off_t(good)) != 0)
    {
        part_ = base::UniqueFd();
        index_.reset();
        return false;
    }
    journal_ = found;
    checked_ = good;
    return true;
}

uint64_t Session::recheckFrom(uint64_t from, uint64_t onDisk)
{
    // Blocks were written before the journal caught up with them (it is replaced once per request, not per
    // block): a run stopped in between left checked bytes the journal does not name. They are read back
    // and checked again, block by block, up to the first that is short or differs (a power cut may have
    // kept a block's place but not its bytes); bounded by the file, which is bounded by the release.
    uint64_t good = from;
    while (good < onDisk)
    {
        const uint64_t end = blockEnd(good);
        if (end > onDisk)
            break;
        block_.assign(size_t(end - good), 0);
        checked_ = good;
        std::string ignored;
        const bool same = ReadAll(part_.get(), block_.data(), block_.size(), good) && checkBlock(ignored);
        block_.clear();
        if (!same)
            break;
        good = end;
    }
    return good;
}

PackageDownloader::Outcome Session::finish(std::string& packagePath, std::string& why)
{
    std::string problem;
    if (!journal_.complete)
    {
        if (part_.valid())
        {
            if (!commit(problem))
                return fail(problem, why);
            if (!part_.close())
                return fail(SystemError("cannot close " + partPath_), why);
        }
        struct stat info;
        if (::lstat(partPath_.c_str(), &info) == 0 && ::rename(partPath_.c_str(), packagePath_.c_str()) != 0)
            return fail(SystemError("cannot rename " + partPath_ + " to " + packagePath_), why);
        if (!base::AtomicFile::syncFolder(folder_, problem))
            return fail(problem, why);
        DownloadJournal done = journal_;
        done.checked = release_.length;
        done.complete = true;
        if (!base::AtomicFile::write(journalPath_, done.serialize(), problem))
            return fail(problem, why);
        journal_ = done;
    }
    packagePath = packagePath_;
    why.clear();
    return Outcome::kComplete;
}

PackageDownloader::Outcome Session::run(std::string& packagePath, std::string& why)
{
    packagePath.clear();
    if (release_.length == 0 || release_.indexLength < uint64_t(pkg::PackageFormat::kLeadInSize) ||
        release_.indexLength > release_.length || release_.indexLength > kLargestPrefix ||
        release_.length > uint64_t(INT64_MAX))
        return fail("the channel's release " + release_.version.text() + " has an impossible length", why);
    if (url_.empty() || !DownloadJournal::validValue(url_))
        return fail("the package's URL cannot be used", why);
    if (::mkdir(folder_.c_str(), 0755) != 0 && errno != EEXIST)
        return fail(SystemError("cannot create " + folder_), why);

    std::string problem;
    // A journal that is damaged, of another release or not backed by its bytes is not trusted in any part.
    if (!resume() && !startFresh(problem))
        return fail(problem, why);
    if (checked_ == release_.length)
        return finish(packagePath, why);

    uint64_t available = 0;
    const uint64_t needed = release_.length - checked_ + limits_.spareBytes;
    if (!freeSpace_(folder_, available))
        return fail(SystemError("cannot tell the free space of " + folder_), why);
    if (available < needed)
        return fail("not enough space on the update partition: need " + std::to_string(needed) + ", have " +
                        std::to_string(available),
                    why);

    int failedTransfers = 0;
    std::string lastProblem;
    for (uint64_t transfers = 0; checked_ < release_.length; ++transfers)
    {
        if (transfers > transferBudget())
            return retryLater("too many requests for one download: " + lastProblem, why);
        Transfer transfer;
        transfer.from = checked_;
        transfer.to = blockEnd(checked_);
        if (checked_ != 0)
        {
            // Whole blocks, as many as fit in one request (always at least one).
            for (uint64_t next = 0; transfer.to < release_.length &&
                                    (next = blockEnd(transfer.to)) - transfer.from <= limits_.requestBytes;)
                transfer.to = next;
        }
        exchange(transfer);
        switch (transfer.ending)
        {
            case Ending::kWhole:
                break;
            case Ending::kFatal:
                return fail(transfer.problem, why);
            case Ending::kChanged:
                if (startOvers_ >= kMostStartOvers)
                    return retryLater("the package keeps changing on the server", why);
                if (!startOver(transfer.etag, problem))
                    return fail(problem, why);
                lastProblem = transfer.problem;
                break;
            case Ending::kBadBlock:
            {
                lastProblem = transfer.problem;
                const auto failures = blockFailures_.find(checked_);
                if (failures == blockFailures_.end() || failures->second < kBlockFailuresBeforeStartOver)
                    break;
                if (restartedForBlocks_)
                    return fail(transfer.problem + ", again after starting over", why);
                restartedForBlocks_ = true;
                if (!startOver(journal_.etag, problem))
                    return fail(problem, why);
                --startOvers_;  // not the server's file changing: counted on its own
                break;
            }
            case Ending::kPassing:
                lastProblem = transfer.problem;
                if (!transfer.progressed && ++failedTransfers >= std::max(limits_.attempts, 1))
                    return retryLater(lastProblem, why);
                break;
        }
        if (!commit(problem))
            return fail(problem, why);
    }
    return finish(packagePath, why);
}
}  // namespace

std::string PackageDownloader::packageName(const pkg::PackageVersion& version)
{
    return version.text() + ".pkg";
}

PackageDownloader::PackageDownloader(HttpClient& http, std::string folder, std::string keyDirectory,
                                     DownloadLimits limits)
    : http_(http),
      folder_(std::move(folder)),
      keyDirectory_(std::move(keyDirectory)),
      limits_(limits),
      freeSpace_(
          [](const std::string& path, uint64_t& bytes)
          {
              long long free = 0;
              if (!instrument::LinuxDiskUtils().GetFreeSpace(path, free) || free < 0)
                  return false;
              bytes = uint64_t(free);
              return true;
          })
{
}

PackageDownloader::Outcome PackageDownloader::download(const ChannelRelease& release, const std::string& url,
                                                       std::string& packagePath, std::string& why,
                                                       const Progress& progress)
{
    Session session(http_, folder_, keyDirectory_, limits_, freeSpace_, release, url, progress, headers_);
    return session.run(packagePath, why);
}

namespace
{
// The first `length` bytes of `url` into `bytes`, whether the server honours the range or sends it all.
PackageDownloader::Outcome FetchHead(HttpClient& http,
                                     const std::vector<std::pair<std::string, std::string>>& headers,
                                     const std::string& url, uint64_t length, std::string& bytes,
                                     std::string& why)
{
    using Outcome = PackageDownloader::Outcome;
    HttpRequest request;
    request.url = url;
    request.headers = headers;
    request.headers.emplace_back("Range", "bytes=0-" + std::to_string(length - 1));
    request.largestBody = size_t(length);
    bytes.clear();
    std::string problem;
    const HttpResponse response = http.send(
        request,
        [&](const HttpResponse& answer)
        {
            if (answer.status == 206)
            {
                const std::string* field = answer.header("content-range");
                ContentRange got;
                if (field == nullptr || !ContentRange::parse(*field, got) || got.first != 0 ||
                    got.last != length - 1)
                {
                    problem = "the server answered bytes 0-" + std::to_string(length - 1) +
                              " with Content-Range \"" +
                              (field == nullptr ? std::string() : Printable(*field, 100)) + "\"";
                    return false;
                }
            }
            return answer.status == 206 || answer.status == 200;
        },
        [&](const uint8_t* data, size_t size)
        {
            // Bounded: only the bytes asked for are kept, and a longer answer is cut off there.
            const size_t take = std::min<size_t>(size, size_t(length) - bytes.size());
            bytes.append(reinterpret_cast<const char*>(data), take);
            return bytes.size() < length;
        });
    if (!problem.empty())
    {
        why = problem;
        return Outcome::kFailed;
    }
    const long status = response.status;
    if ((status == 206 || status == 200) && bytes.size() == length)
        return Outcome::kComplete;
    if (status == 206 || status == 200)
    {
        why = response.error.empty() ? "the package ends after " + std::to_string(bytes.size()) + " bytes"
                                     : response.error;
        return response.error.empty() ? Outcome::kFailed : Outcome::kRetryLater;
    }
    if (status == 0)
    {
        why = response.error.empty() ? "no answer from the server" : response.error;
        return Outcome::kRetryLater;
    }
    why = "the server answered " + std::to_string(status) + " for the package's signed index";
    return status >= 500 || status == 408 || status == 429 ? Outcome::kRetryLater : Outcome::kFailed;
}
}  // namespace

PackageDownloader::Outcome PackageDownloader::learnRelease(const std::string& url, ChannelRelease& release,
                                                           std::string& why)
{
    using pkg::PackageFormat::kChunkHeaderSize;
    using pkg::PackageFormat::kLeadInSize;
    if (url.empty() || !DownloadJournal::validValue(url))
    {
        why = "the package's URL cannot be used";
        return Outcome::kFailed;
    }
    std::string head;
    Outcome got = FetchHead(http_, headers_, url, uint64_t(kLeadInSize + kChunkHeaderSize), head, why);
    if (got != Outcome::kComplete)
        return got;
    const auto* bytes = reinterpret_cast<const uint8_t*>(head.data());
    if (std::memcmp(bytes, pkg::IndexFormat::kLeadInMarker, size_t(pkg::IndexFormat::kLeadInMarkerSize)) !=
            0 ||
        base::ByteOrder::LoadLe32(bytes + kLeadInSize) != pkg::IndexFormat::kTypeIndex)
    {
        why = "the file is not a package signed with its index";
        return Outcome::kFailed;
    }
    const uint64_t length = base::ByteOrder::LoadLe64(bytes + pkg::IndexFormat::kLeadInLengthOffset);
    const int64_t indexSize = static_cast<int32_t>(base::ByteOrder::LoadLe32(bytes + kLeadInSize + 4));
    if (indexSize < pkg::IndexFormat::kFixedSize || indexSize > pkg::IndexFormat::kLargestIndex)
    {
        why = "the package's signed index has an impossible size";
        return Outcome::kFailed;
    }
    const uint64_t prefixLength =
        uint64_t(kLeadInSize + kChunkHeaderSize + indexSize + pkg::PackageFormat::paddingFor(indexSize) +
                 pkg::SignatureFormat::kChunkSize);
    if (prefixLength > kLargestPrefix || prefixLength > length || length > uint64_t(INT64_MAX))
    {
        why = "the package's lead-in gives an impossible length";
        return Outcome::kFailed;
    }
    std::string prefix;
    got = FetchHead(http_, headers_, url, prefixLength, prefix, why);
    if (got != Outcome::kComplete)
        return got;
    const std::vector<uint8_t> prefixBytes(prefix.begin(), prefix.end());
    PrefixReader reader(prefixBytes, length);
    pkg::SignatureVerifier verifier(keyDirectory_, nullptr);
    if (!verifier.verify(&reader))
    {
        why = "the package's signature does not hold: " + Trimmed(verifier.resultDetail());
        return Outcome::kFailed;
    }
    const std::shared_ptr<const pkg::PackageIndex> index = verifier.signedIndex();
    if (!index || uint64_t(index->dataStart()) != prefixLength || uint64_t(index->streamLength()) != length)
    {
        why = "the package's signature vouches for no index of its length";
        return Outcome::kFailed;
    }
    ChannelRelease learnt;
    learnt.version = index->version();
    learnt.compatibility = index->compatibility();
    learnt.length = length;
    learnt.indexLength = prefixLength;
    learnt.indexSha256 = Sha256Hex(prefixBytes.data(), prefixBytes.size());
    learnt.minInstaller = index->minInstaller();
    learnt.rollout = 100;
    if (learnt.indexSha256.empty())
    {
        why = "the SHA-256 of the package's signed index cannot be computed";
        return Outcome::kFailed;
    }
    release = learnt;
    why.clear();
    return Outcome::kComplete;
}

void PackageDownloader::discardOthers(const ChannelRelease& keep)
{
    std::string bytes, problem;
    DownloadJournal journal;
    const std::string journalPath = folder_ + "/" + kJournalName;
    const bool ours = base::AtomicFile::read(journalPath, DownloadJournal::kLargest, bytes, problem) ==
                          base::AtomicFile::Read::kRead &&
                      DownloadJournal::parse(bytes, journal, problem) && journal.version == keep.version &&
                      journal.indexSha256 == keep.indexSha256 && journal.length == keep.length;
    if (!ours)
    {
        ::unlink(journalPath.c_str());
        ::unlink((journalPath + ".new").c_str());
        ::unlink((folder_ + "/" + kPartName).c_str());
    }
    const std::string kept = packageName(keep.version);
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(folder_.c_str()), ::closedir);
    if (!folder)
        return;
    std::vector<std::string> others;
    size_t seen = 0;
    for (const dirent* entry = nullptr;
         seen < kMostFolderEntries && (entry = ::readdir(folder.get())) != nullptr; ++seen)
    {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pkg") == 0 && name != kept)
            others.push_back(name);
    }
    for (const std::string& name : others) ::unlink((folder_ + "/" + name).c_str());
    base::AtomicFile::syncFolder(folder_, problem);
}

}  // namespace vex::fleet
