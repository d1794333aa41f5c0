#pragma once

#include "pcm/CObjectBase.h"

#include <cstddef>
#include <cstdint>

namespace pcm
{
// The byte stream under a chunk root, shared by the root and all its descendants. Seeks are clamped into
// [0, size]; a transfer that moves fewer bytes than asked sets the sticky error flag, as does an unknown
// seek origin.
class CStream : public CObjectBase
{
public:
    enum Mode
    {
        ModeNone = 0,
        ModeRead = 1,
        ModeWrite = 2,
        ModeReadWrite = 3,
    };
    enum Origin
    {
        FromStart = 0,
        FromCurrent = 1,
        FromEnd = 2,
    };

    virtual bool open(Mode mode) = 0;
    virtual bool close() = 0;
    virtual bool isOpen() const = 0;
    virtual Mode mode() const = 0;
    virtual void read(void* buffer, size_t count) = 0;
    virtual void write(const void* buffer, size_t count) = 0;
    virtual int64_t position() const = 0;
    virtual int64_t size() const = 0;
    virtual void seek(int64_t offset, int origin) = 0;

    // Bytes moved by the last read or write.
    size_t transferred() const { return transferred_; }
    bool hasError() const { return error_; }
    void clearError() { error_ = false; }

protected:
    void setTransferred(size_t count) { transferred_ = count; }
    void setError() { error_ = true; }

private:
    size_t transferred_ = 0;
    bool error_ = false;
};

}  // namespace pcm
