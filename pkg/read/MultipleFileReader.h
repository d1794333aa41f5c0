#pragma once

#include "base/UniqueFile.h"
#include "pkg/read/IStreamReader.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vex::pkg
{
// The package stream: one or more part files read back to back as one byte stream with 64-bit
// positions. Parts are added in order with addFile; the reader owns and closes their handles.
class MultipleFileReader : public IStreamReader
{
public:
    MultipleFileReader() = default;
    ~MultipleFileReader() override = default;
    MultipleFileReader(const MultipleFileReader&) = delete;
    MultipleFileReader& operator=(const MultipleFileReader&) = delete;

    // Appends the file at `path` as the next part. False when it cannot be opened or measured,
    // is not a regular file, or would make the stream longer than 64-bit positions reach.
    bool addFile(const std::string& path);
    // True once at least one part was added and the current part is one of them.
    bool isValid() const;
    // Whether every part still has the size and modification time it had when it was added. The handles
    // stay open, so a part replaced under its name is still read as it was; one written in place is not.
    bool unchanged() const;

    int64_t read(void* buffer, uint64_t length) override;
    bool seek(uint64_t offset) override;
    int64_t tell() override;
    int64_t size() override;

private:
    struct Part
    {
        base::UniqueFile file;
        int64_t length;
        struct timespec modified;
    };

    bool positionPart(std::size_t index, int64_t offset);

    std::vector<Part> parts_;
    int current_ = -1;
    // Where the current part's handle stands, kept here so that a read or tell needs no system call.
    int64_t partPosition_ = 0;
    int64_t total_ = 0;
};

}  // namespace vex::pkg
