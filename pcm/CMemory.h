#pragma once

#include "pcm/CStream.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pcm
{
// How a CMemory treats the buffer it is given.
enum class CMemoryOwnership
{
    Borrow = 0,  // use the caller's buffer, never free it
    Adopt = 1,   // take over a buffer allocated with new[] and free it
    Copy = 3,    // copy the buffer and free the copy
};

// A byte stream over a memory buffer. A stream made without a buffer owns a growable one, which is how
// files are written in memory; a borrowed buffer can be overwritten but never grown.
class CMemory : public CStream
{
public:
    CMemory();
    CMemory(uint8_t* buffer, size_t length, CMemoryOwnership ownership);
    ~CMemory() override;

    bool open(Mode mode) override;
    bool close() override;
    bool isOpen() const override { return mode_ != ModeNone; }
    Mode mode() const override { return mode_; }
    void read(void* buffer, size_t count) override;
    void write(const void* buffer, size_t count) override;
    int64_t position() const override { return position_; }
    int64_t size() const override { return base_ + static_cast<int64_t>(length_) + after_; }
    void seek(int64_t offset, int origin) override;

    // The buffer's bytes; they stay readable after close().
    const uint8_t* data() const { return data_; }
    size_t length() const { return length_; }

protected:
    // Places the buffer at [base, base + length) of a stream that is `after` bytes longer than its end.
    void place(int64_t base, int64_t after);

private:
    bool reserve(size_t capacity);

    uint8_t* data_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;
    std::unique_ptr<uint8_t[]> owned_;
    bool growable_ = false;
    Mode mode_ = ModeNone;
    int64_t position_ = 0;
    int64_t base_ = 0;
    int64_t after_ = 0;
};

}  // namespace pcm
