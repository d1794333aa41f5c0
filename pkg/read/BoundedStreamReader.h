#pragma once

#include "pkg/read/IStreamReader.h"

#include <cstdint>

namespace vex::pkg
{
// A window [start, start + length) onto a shared base reader, with its own position. Reading through a
// window leaves the base reader where it was, so any number of windows (one per item) can share the one
// package reader and be read in any interleaving. The base is not owned and must outlive the window.
class BoundedStreamReader : public IStreamReader
{
public:
    // A range that does not lie wholly inside the base (or a null base) gives an unusable window: it reads
    // nothing, tells -1 and has size 0.
    BoundedStreamReader(IStreamReader* base, int64_t start, int64_t length);
    ~BoundedStreamReader() override = default;
    BoundedStreamReader(const BoundedStreamReader&) = delete;
    BoundedStreamReader& operator=(const BoundedStreamReader&) = delete;

    int64_t read(void* buffer, uint64_t length) override;
    bool seek(uint64_t offset) override;
    int64_t tell() override;
    int64_t size() override;

    bool isUsable() const { return base_ != nullptr; }
    int64_t start() const { return start_; }

private:
    IStreamReader* base_ = nullptr;
    int64_t start_ = 0;
    int64_t length_ = 0;
    int64_t end_ = 0;
    int64_t position_ = 0;
};

}  // namespace vex::pkg
