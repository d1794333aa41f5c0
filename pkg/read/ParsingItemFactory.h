#pragma once

#include "pkg/items/PkgItemVisitor.h"
#include "pkg/read/ChunkItemFactory.h"

#include <cstdint>

namespace vex::pkg
{
// A factory that makes an empty item of the chunk's class and then visits it: the visit parses the payload
// into the item. A parse that fails drops the item, so that the next factory of the chain is asked.
class ParsingItemFactory : public PkgItemVisitor, public ChunkItemFactory
{
public:
    enum class Status
    {
        Ok = 0,
        Unreadable = 1,  // a short read, a text without its NUL, a payload too small for its item
        Invalid = 2,     // an invalid header, or no package reader
    };

    bool createItem(IPkgItem*& item, uint32_t type, int64_t size) final;
    // Outcome of the last parse.
    Status status() const { return status_; }

protected:
    // A new, empty item for `type`; null for a type this factory does not build.
    virtual IPkgItem* newItem(uint32_t type) const = 0;

    int64_t payloadSize() const { return size_; }
    // False, with the status Invalid, when there is no package reader to parse from.
    bool hasReader();
    void fail(Status status) { status_ = status; }

private:
    int64_t size_ = 0;
    Status status_ = Status::Ok;
};

}  // namespace vex::pkg
