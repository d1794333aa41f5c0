#pragma once

#include "pkg/read/ChunkItemFactory.h"

namespace vex::pkg
{
// The chain's catch-all: any chunk with a payload becomes an ItemUnknown holding that payload, so the walk
// goes on past types it does not know and past chunks that did not parse.
class ChunkItemUnknownFactory : public ChunkItemFactory
{
public:
    bool createItem(IPkgItem*& item, uint32_t type, int64_t size) override;
};

}  // namespace vex::pkg
