#pragma once

#include "pkg/read/IStreamReader.h"
#include "pkg/trust/PackageIndex.h"
#include "pkg/trust/Sha256.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vex::pkg
{
// The package stream of a package with a signed index, as the installer reads it: every byte it hands out
// belongs to a block whose digest it has just checked against the index. A block is read whole from the
// source, hashed, compared and only then copied out, each time it is read from the source again: a medium
// that serves other bytes on a second read is caught at that read. The last block checked is kept, so a
// run of small reads costs one check per block.
//
// The first difference ends the stream for good: every later read delivers nothing, failed() says so, and
// the log has one line naming the chunk and block. Reads outside the indexed range (the lead-in, the index
// and its signature) deliver nothing; they were checked when the index was.
class IndexedStreamReader : public IStreamReader
{
public:
    // `source` is not owned and must outlive the reader.
    IndexedStreamReader(IStreamReader& source, std::shared_ptr<const PackageIndex> index);

    int64_t read(void* buffer, uint64_t length) override;
    bool seek(uint64_t offset) override;
    int64_t tell() override { return position_; }
    int64_t size() override { return index_->streamLength(); }

    const PackageIndex& index() const { return *index_; }
    bool failed() const { return !failure_.empty(); }
    // The log line of the first failure, four spaces in; empty while there is none.
    const std::string& failure() const { return failure_; }

private:
    bool load(long chunk, uint32_t block);
    void fail(const std::string& line);

    IStreamReader& source_;
    std::shared_ptr<const PackageIndex> index_;
    Sha256 sha_;
    std::vector<uint8_t> block_;
    long blockChunk_ = -1;
    uint32_t blockIndex_ = 0;
    int64_t blockStart_ = 0;
    int64_t position_ = 0;
    std::string failure_;
};

}  // namespace vex::pkg
