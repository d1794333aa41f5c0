#pragma once

#include "pkg/read/IPackageLoader.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace vex::pkg
{
class ChunkItemFactory;
class IPkgVerifier;
class IStreamReader;
class IndexedStreamReader;
class MultipleFileReader;

// Opens a package (one file or "...001" and its following parts), has it verified, then hands out its items
// in chunk order. A package loads only if its chunks fill the stream exactly: the walk must be able to step
// from the first chunk to the end of the stream, or the items after the place where it stops would be dropped
// without a word. When the verifier vouches for a signed index, every byte is read through the index's
// checking reader, every chunk must stand where the index puts it, and the walk must end exactly where the
// index ends; anything else breaks the package (packageUnchanged() turns false). It knows nothing of chunk
// layouts: the factory chain makes each item. Items stay valid after the loader moves on, but their data
// windows read through the loader's package reader, so item data must be read before the loader is destroyed
// or loads again.
class PackageChunksLoader : public IPackageLoader
{
public:
    // Takes ownership of the factory chain.
    explicit PackageChunksLoader(ChunkItemFactory* factories);
    ~PackageChunksLoader() override;
    PackageChunksLoader(const PackageChunksLoader&) = delete;
    PackageChunksLoader& operator=(const PackageChunksLoader&) = delete;

    // `verifier` is not owned; without one the package counts as not verified.
    bool load(const std::string& path, IPkgVerifier* verifier);

    // Whether the loaded package's parts are still as they were opened, and every byte read so far was the
    // byte signed (false without a package).
    bool packageUnchanged() const;

    boost::shared_ptr<IPkgItem> next() override;
    bool hasNext() override;
    bool reset() override;

private:
    struct Frame
    {
        int64_t start = 0;
        uint32_t type = 0;
        int64_t size = 0;
        int64_t payloadStart = 0;
    };

    enum class FrameRead
    {
        kRead,
        // Nothing left: the walk is over.
        kEnd,
        // Bytes are left that are not a chunk frame (too few, unreadable, or a negative size); said in the
        // log.
        kBroken,
    };

    boost::shared_ptr<IPkgItem> readChunk();
    // Reads the chunk frame at the reader's position; where it is broken, `problem` is the log line that says
    // where and why.
    static FrameRead readFrame(IStreamReader& reader, Frame& frame, std::string& problem);
    // For a package with a signed index: whether `frame` is the chunk the index names next.
    bool frameMatchesIndex(const Frame& frame);
    // The walk ended at stream offset `at`: anywhere but at the end (for a package with a signed index, the
    // end of the index) breaks the package.
    void walkEnded(int64_t at);
    // What items and the walk read: the checking reader of a signed index, or the package stream as it is.
    IStreamReader& stream();
    // False (with a detail line in the log) when a signed lead-in says the stream is longer than its parts.
    bool partsHoldWholeStream(MultipleFileReader& reader);
    // False (with a detail line in the log) when a chunk's payload reaches past the end of the stream. When
    // the walk would stop before the end (a frame cut short or with a negative size, an empty chunk with
    // bytes after it), `walkProblem` (unless already set) becomes the log line that says where and why.
    bool chunksFillStream(MultipleFileReader& reader, std::string& walkProblem);
    // Moves `reader` forward to `offset`; false when the stream ends first.
    static bool stepTo(IStreamReader& reader, int64_t offset);

    static constexpr int kStepByReading = 512;

    std::unique_ptr<MultipleFileReader> reader_;
    std::unique_ptr<IndexedStreamReader> indexed_;
    size_t nextEntry_ = 0;
    bool walkBroken_ = false;
    boost::shared_ptr<IPkgItem> pending_;
    std::unique_ptr<ChunkItemFactory> factories_;
    // Set once the walk has ended, so that nothing after the end (or after a chunk that could not be
    // stepped over) is ever read as a chunk.
    bool exhausted_ = false;
};

}  // namespace vex::pkg
