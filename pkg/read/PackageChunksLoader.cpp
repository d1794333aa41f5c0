#include "pkg/read/PackageChunksLoader.h"
#include "base/ByteOrder.h"

#include "log/Log.h"
#include "pkg/items/IPkgItem.h"
#include "pkg/read/ChunkItemFactory.h"
#include "pkg/read/MultipleFileReader.h"
#include "pkg/read/PackageFormat.h"
#include "pkg/read/PackageParts.h"
#include "pkg/trust/IPkgVerifier.h"
#include "pkg/trust/IndexFormat.h"
#include "pkg/trust/IndexedStreamReader.h"
#include "pkg/trust/SignatureFormat.h"

#include <boost/filesystem.hpp>

#include <cstring>
#include <vector>

namespace vex::pkg
{
using namespace PackageFormat;

namespace
{
bool pathExists(const std::string& path)
{
    boost::system::error_code ec;
    return boost::filesystem::exists(path, ec);
}

}  // namespace

PackageChunksLoader::PackageChunksLoader(ChunkItemFactory* factories) : factories_(factories) {}

PackageChunksLoader::~PackageChunksLoader()
{
    pending_.reset();
    indexed_.reset();
    reader_.reset();
    factories_.reset();
}

bool PackageChunksLoader::load(const std::string& path, IPkgVerifier* verifier)
{
    pending_.reset();
    if (factories_)
    {
        factories_->setReader(nullptr);
    }
    indexed_.reset();
    reader_.reset();
    exhausted_ = false;
    walkBroken_ = false;

    if (!pathExists(path))
    {
        log::Line("Package file " + path + " doesn't exist !");
        return false;
    }

    std::unique_ptr<MultipleFileReader> reader(new MultipleFileReader);
    const std::vector<std::string> parts = PackageParts::partPaths(path);
    // Why the chunk walk would stop before the end of the stream. Said once the verifier has had its say, so
    // that a signed package damaged after signing is refused for what its signature says.
    std::string walkProblem;
    for (const std::string& name : parts)
    {
        const int64_t before = reader->size();
        if (!reader->addFile(name))
        {
            log::Line("Failed to load " + name + " !");
            return false;
        }
        log::Line("Loaded " + name);
        // The writer starts a part only for bytes that go into it: an empty part is one whose bytes were
        // lost, even where the parts around it happen to meet on a chunk boundary.
        if (parts.size() > 1 && reader->size() == before && walkProblem.empty())
        {
            walkProblem = "    The part " + name + " is empty.";
        }
    }

    // A chunk that reaches past the end of the stream is what a package cut short looks like, and so is a
    // split package whose last part is missing or short: installing what comes before it would leave the
    // instrument half updated while the run reports success. A signed lead-in says how long the stream is,
    // which also catches a missing part that ends on a chunk boundary; it is checked here, whatever the
    // verifier, because an instrument without keys accepts every package without reading it.
    if (!partsHoldWholeStream(*reader) || !chunksFillStream(*reader, walkProblem))
    {
        log::Line("Failed to load " + path + " !");
        return false;
    }

    log::Line("Verifying package integrity ...");
    const bool verified = verifier != nullptr && verifier->verify(reader.get());
    log::Line(verified ? "Done." : "Failed.");
    const std::string detail = verifier != nullptr ? verifier->resultDetail() : std::string();
    if (!detail.empty())
    {
        log::Line(detail);
    }
    if (!verified)
    {
        return false;
    }
    // The same goes for a walk that would stop before the end: what follows the place where it stops would be
    // dropped without a word.
    if (!walkProblem.empty())
    {
        log::Line(walkProblem);
        log::Line("Failed to load " + path + " !");
        return false;
    }

    reader_ = std::move(reader);
    if (const std::shared_ptr<const PackageIndex> index = verifier->signedIndex())
    {
        indexed_.reset(new IndexedStreamReader(*reader_, index));
    }
    if (factories_)
    {
        factories_->setReader(&stream());
    }
    return reset();
}

IStreamReader& PackageChunksLoader::stream()
{
    return indexed_ ? static_cast<IStreamReader&>(*indexed_) : *reader_;
}

bool PackageChunksLoader::packageUnchanged() const
{
    return reader_ && reader_->unchanged() && !walkBroken_ && !(indexed_ && indexed_->failed());
}

bool PackageChunksLoader::reset()
{
    pending_.reset();
    if (!reader_)
    {
        return false;
    }
    // A stream too short for its lead-in has no chunks; without this the lead-in would be read as one. With a
    // signed index the walk starts after the index and its signature, which the verifier has consumed.
    nextEntry_ = 0;
    const int64_t start = indexed_ ? indexed_->index().dataStart() : kLeadInSize;
    const bool ok = stream().seek(static_cast<uint64_t>(start));
    exhausted_ = !ok;
    return ok;
}

bool PackageChunksLoader::hasNext()
{
    if (!pending_)
    {
        pending_ = readChunk();
    }
    return static_cast<bool>(pending_);
}

boost::shared_ptr<IPkgItem> PackageChunksLoader::next()
{
    if (!pending_)
    {
        pending_ = readChunk();
    }
    boost::shared_ptr<IPkgItem> item;
    item.swap(pending_);
    return item;
}

PackageChunksLoader::FrameRead PackageChunksLoader::readFrame(IStreamReader& reader, Frame& frame,
                                                              std::string& problem)
{
    unsigned char bytes[kChunkHeaderSize];
    frame.start = reader.tell();
    const int64_t left = frame.start >= 0 ? reader.size() - frame.start : -1;
    if (left == 0)
    {
        return FrameRead::kEnd;
    }
    const std::string where = "    Package walk ended at offset " + std::to_string(frame.start) + ": ";
    const int64_t got = reader.read(bytes, sizeof bytes);
    if (got != kChunkHeaderSize)
    {
        problem = left > 0 && left < kChunkHeaderSize
                      ? where + "only " + std::to_string(left) + " bytes left, too few for a chunk header."
                      : where + "the chunk header cannot be read.";
        return FrameRead::kBroken;
    }
    frame.type = base::ByteOrder::LoadLe32(bytes);
    const uint32_t rawSize = base::ByteOrder::LoadLe32(bytes + 4);
    frame.size = static_cast<int32_t>(rawSize);
    frame.payloadStart = reader.tell();
    // A negative size would step the walk backwards, possibly onto this very chunk again: end it instead.
    if (frame.size < 0 || frame.payloadStart < 0)
    {
        problem = where + "the chunk of type " + std::to_string(frame.type) + " declares a negative size (" +
                  std::to_string(frame.size) + ").";
        return FrameRead::kBroken;
    }
    return FrameRead::kRead;
}

bool PackageChunksLoader::partsHoldWholeStream(MultipleFileReader& reader)
{
    static_assert(IndexFormat::kLeadInMarkerSize == SignatureFormat::kLeadInMarkerSize &&
                      IndexFormat::kLeadInLengthOffset == SignatureFormat::kLeadInLengthOffset,
                  "both signed lead-ins keep the length at the same place");
    unsigned char leadIn[kLeadInSize];
    const int64_t streamSize = reader.size();
    if (streamSize < kLeadInSize || !reader.seek(0) || reader.read(leadIn, sizeof leadIn) != kLeadInSize)
    {
        return true;  // too short for a lead-in: nothing says how long the package should be
    }
    const bool signedLeadIn =
        std::memcmp(leadIn, IndexFormat::kLeadInMarker, IndexFormat::kLeadInMarkerSize) == 0 ||
        std::memcmp(leadIn, SignatureFormat::kLeadInMarker, SignatureFormat::kLeadInMarkerSize) == 0;
    if (!signedLeadIn)
    {
        return true;
    }
    const uint64_t length = base::ByteOrder::LoadLe64(leadIn + IndexFormat::kLeadInLengthOffset);
    if (static_cast<uint64_t>(streamSize) < length)
    {
        log::Line("    A part is missing: the package holds " + std::to_string(streamSize) + " of its " +
                  std::to_string(length) + " bytes");
        return false;
    }
    return true;
}

bool PackageChunksLoader::chunksFillStream(MultipleFileReader& reader, std::string& walkProblem)
{
    const int64_t streamSize = reader.size();
    if (!reader.seek(static_cast<uint64_t>(kLeadInSize)))
    {
        return true;  // no chunks at all: the walk finds nothing to install
    }
    std::string problem;
    // The frames are read, the payloads stepped over. Each step moves forward by at least a frame, so the
    // loop ends within the stream's length.
    for (;;)
    {
        Frame frame;
        if (readFrame(reader, frame, problem) != FrameRead::kRead)
        {
            break;
        }
        if (frame.size > streamSize - frame.payloadStart)
        {
            log::Line("    The chunk at offset " + std::to_string(frame.start) + " declares " +
                      std::to_string(frame.size) + " bytes, past the end of the package (" +
                      std::to_string(streamSize) + " bytes).");
            return false;
        }
        // No item is made of an empty chunk (every item needs payload bytes, and the catch-all for unknown
        // types takes only a positive size), so the walk ends at one: bytes after it would never be read.
        if (frame.size == 0 && frame.payloadStart < streamSize)
        {
            problem = "    Package walk ended at offset " + std::to_string(frame.start) +
                      ": the chunk of type " + std::to_string(frame.type) + " is empty, and " +
                      std::to_string(streamSize - frame.payloadStart) + " bytes follow it.";
            break;
        }
        // Only the last chunk may lack its padding.
        const int64_t next = frame.payloadStart + frame.size + paddingFor(frame.size);
        if (next >= streamSize)
        {
            break;
        }
        if (!stepTo(reader, next))
        {
            problem = "    Package walk ended at offset " + std::to_string(next) +
                      ": the stream cannot be read there.";
            break;
        }
    }
    if (walkProblem.empty())
    {
        walkProblem = problem;
    }
    return true;
}

bool PackageChunksLoader::stepTo(IStreamReader& reader, int64_t offset)
{
    // Most chunks are small and the parse leaves the reader just short of the next one: reading over the
    // rest costs a copy, where a seek costs a system call per chunk.
    const int64_t position = reader.tell();
    const int64_t gap = offset - position;
    if (position >= 0 && gap >= 0 && gap <= kStepByReading)
    {
        unsigned char skipped[kStepByReading];
        return gap == 0 || reader.read(skipped, static_cast<uint64_t>(gap)) == gap;
    }
    return reader.seek(static_cast<uint64_t>(offset));
}

boost::shared_ptr<IPkgItem> PackageChunksLoader::readChunk()
{
    if (!reader_ || exhausted_)
    {
        return boost::shared_ptr<IPkgItem>();
    }
    Frame frame;
    std::string problem;
    if (readFrame(stream(), frame, problem) != FrameRead::kRead)
    {
        if (!problem.empty())
        {
            log::Line(problem);
        }
        walkEnded(frame.start);
        return boost::shared_ptr<IPkgItem>();
    }
    if (!frameMatchesIndex(frame))
    {
        return boost::shared_ptr<IPkgItem>();
    }
    const int64_t size = frame.size;
    const int64_t payloadStart = frame.payloadStart;
    const int64_t next = payloadStart + size + paddingFor(size);

    boost::shared_ptr<IPkgItem> item(factories_ ? factories_->create(frame.type, size) : nullptr);
    if (!item)
    {
        log::Line("    Package walk ended at offset " + std::to_string(frame.start) +
                  ": no item could be made of the " + "chunk of type " + std::to_string(frame.type) + " (" +
                  std::to_string(size) + " bytes).");
        walkEnded(next);
        return item;
    }

    // When the next boundary lies beyond the stream the reader would stay inside this chunk and read its
    // payload as chunk frames; the package ends here instead. A whole package ends exactly there, so only
    // the missing padding of a last chunk gets here, which costs nothing.
    if (!stepTo(stream(), next))
    {
        walkEnded(next);
    }
    return item;
}

bool PackageChunksLoader::frameMatchesIndex(const Frame& frame)
{
    if (!indexed_)
    {
        return true;
    }
    const std::vector<PackageIndex::Chunk>& chunks = indexed_->index().chunks();
    const PackageIndex::Chunk* entry = nextEntry_ < chunks.size() ? &chunks[nextEntry_] : nullptr;
    if (entry == nullptr || entry->offset != frame.start || entry->type != frame.type ||
        entry->length != kChunkHeaderSize + frame.size + paddingFor(frame.size))
    {
        log::Line("    The chunk at offset " + std::to_string(frame.start) +
                  " is not the one the signed index names (" + "chunk " + std::to_string(nextEntry_) + ").");
        walkBroken_ = true;
        exhausted_ = true;
        return false;
    }
    ++nextEntry_;
    return true;
}

void PackageChunksLoader::walkEnded(int64_t at)
{
    exhausted_ = true;
    if (walkBroken_ || (indexed_ && indexed_->failed()))
    {
        return;
    }
    if (indexed_)
    {
        // Everything the index names was signed to be installed: a walk that stops short would drop it.
        if (nextEntry_ != indexed_->index().chunks().size())
        {
            log::Line("    The package walk ended at chunk " + std::to_string(nextEntry_) + " of the " +
                      std::to_string(indexed_->index().chunks().size()) + " its signed index names.");
            walkBroken_ = true;
        }
        return;
    }
    // Loading saw the chunks fill the stream; a walk that stops short now read other bytes than loading did.
    const int64_t left = stream().size() - at;
    if (at < 0 || left > 0)
    {
        log::Line("    The package walk ended at offset " + std::to_string(at) + ", " + std::to_string(left) +
                  " bytes before the end of the package.");
        walkBroken_ = true;
    }
}

}  // namespace vex::pkg
