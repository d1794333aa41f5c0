#include "pkg/read/PackageChunksLoader.h"
#include "base/ByteOrder.h"

#include "log/Log.h"
#include "pkg/items/IPkgItem.h"
#include "pkg/read/ChunkItemFactory.h"
#include "pkg/read/MultipleFileReader.h"
#include "pkg/read/PackageFormat.h"
#include "pkg/trust/IPkgVerifier.h"

#include <boost/filesystem.hpp>

#include <cstdio>

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

bool endsWith001(const std::string& path)
{
    return path.size() >= 3 && path.compare(path.size() - 3, 3, "001") == 0;
}

// The last part of a split package is "...999".
constexpr int kLastPartCounter = 999;
}  // namespace

PackageChunksLoader::PackageChunksLoader(ChunkItemFactory* factories) : factories_(factories) {}

PackageChunksLoader::~PackageChunksLoader()
{
    pending_.reset();
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
    reader_.reset();
    exhausted_ = false;

    if (!pathExists(path))
    {
        log::Line("Package file " + path + " doesn't exist !");
        return false;
    }

    int counter = endsWith001(path) ? 2 : 0;
    std::unique_ptr<MultipleFileReader> reader(new MultipleFileReader);
    std::string name = path;
    for (;;)
    {
        if (!reader->addFile(name))
        {
            log::Line("Failed to load " + name + " !");
            return false;
        }
        log::Line("Loaded " + name);
        if (counter == 0 || counter > kLastPartCounter)
        {
            break;
        }
        char digits[16];
        std::snprintf(digits, sizeof digits, "%03d", counter);
        ++counter;
        name = name.substr(0, name.size() - 3) + digits;
        if (!pathExists(name))
        {
            break;
        }
    }

    // A chunk that reaches past the end of the stream is what a package cut short looks like, and so is a
    // split package whose last part is missing or short: installing what comes before it would leave the
    // instrument half updated while the run reports success.
    if (!chunksFitStream(*reader))
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

    reader_ = std::move(reader);
    if (factories_)
    {
        factories_->setReader(reader_.get());
    }
    return reset();
}

bool PackageChunksLoader::packageUnchanged() const
{
    return reader_ && reader_->unchanged();
}

bool PackageChunksLoader::reset()
{
    pending_.reset();
    if (!reader_)
    {
        return false;
    }
    // A stream too short for its lead-in has no chunks; without this the lead-in would be read as one.
    const bool ok = reader_->seek(static_cast<uint64_t>(kLeadInSize));
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

bool PackageChunksLoader::readFrame(IStreamReader& reader, Frame& frame)
{
    unsigned char bytes[kChunkHeaderSize];
    frame.start = reader.tell();
    const int64_t got = reader.read(bytes, sizeof bytes);
    if (got != kChunkHeaderSize)
    {
        if (got > 0)
        {
            log::Line("    Package walk ended at offset " + std::to_string(frame.start) + ": only " +
                      std::to_string(got) + " bytes left, too few for a chunk header.");
        }
        return false;
    }
    frame.type = base::ByteOrder::LoadLe32(bytes);
    const uint32_t rawSize = base::ByteOrder::LoadLe32(bytes + 4);
    frame.size = static_cast<int32_t>(rawSize);
    frame.payloadStart = reader.tell();
    // A negative size would step the walk backwards, possibly onto this very chunk again: end it instead.
    if (frame.size < 0 || frame.payloadStart < 0)
    {
        log::Line("    Package walk ended at offset " + std::to_string(frame.start) + ": the chunk of type " +
                  std::to_string(frame.type) + " declares a negative size (" + std::to_string(frame.size) +
                  ").");
        return false;
    }
    return true;
}

bool PackageChunksLoader::chunksFitStream(MultipleFileReader& reader)
{
    const int64_t streamSize = reader.size();
    if (!reader.seek(static_cast<uint64_t>(kLeadInSize)))
    {
        return true;  // no chunks at all: the walk finds nothing to install
    }
    Frame frame;
    // The frames are read, the payloads stepped over; the walk's own rules decide where it ends.
    while (readFrame(reader, frame))
    {
        if (frame.size > streamSize - frame.payloadStart)
        {
            log::Line("    The chunk at offset " + std::to_string(frame.start) + " declares " +
                      std::to_string(frame.size) + " bytes, past the end of the package (" +
                      std::to_string(streamSize) + " bytes).");
            return false;
        }
        const int64_t next = frame.payloadStart + frame.size + paddingFor(frame.size);
        if (next >= streamSize || !stepTo(reader, next))
        {
            break;
        }
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
    if (!readFrame(*reader_, frame))
    {
        exhausted_ = true;
        return boost::shared_ptr<IPkgItem>();
    }
    const int64_t size = frame.size;
    const int64_t payloadStart = frame.payloadStart;

    boost::shared_ptr<IPkgItem> item(factories_ ? factories_->create(frame.type, size) : nullptr);
    if (!item)
    {
        log::Line("    Package walk ended at offset " + std::to_string(frame.start) +
                  ": no item could be made of the " + "chunk of type " + std::to_string(frame.type) + " (" +
                  std::to_string(size) + " bytes).");
        exhausted_ = true;
        return item;
    }

    // When the next boundary lies beyond the stream the reader would stay inside this chunk and read its
    // payload as chunk frames; the package ends here instead. A whole package ends exactly there, so only
    // the missing padding of a last chunk gets here, which costs nothing.
    if (!stepTo(*reader_, payloadStart + size + paddingFor(size)))
    {
        exhausted_ = true;
    }
    return item;
}

}  // namespace vex::pkg
