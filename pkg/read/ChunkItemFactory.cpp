#include "pkg/read/ChunkItemFactory.h"

#include "pkg/items/IPkgItem.h"
#include "pkg/read/BoundedStreamReader.h"
#include "pkg/read/IStreamReader.h"

namespace vex::pkg
{
ChunkItemFactory::ChunkItemFactory() = default;

ChunkItemFactory::~ChunkItemFactory() = default;

IPkgItem* ChunkItemFactory::create(uint32_t type, int64_t size)
{
    const int64_t payloadStart = reader_ != nullptr ? reader_->tell() : -1;
    IPkgItem* item = nullptr;
    if (createItem(item, type, size))
    {
        return item;
    }
    delete item;
    if (!next_)
    {
        return nullptr;
    }
    if (payloadStart >= 0 && reader_->tell() != payloadStart)
    {
        reader_->seek(static_cast<uint64_t>(payloadStart));
    }
    return next_->create(type, size);
}

void ChunkItemFactory::append(ChunkItemFactory* factory)
{
    if (factory == nullptr)
    {
        return;
    }
    ChunkItemFactory* last = this;
    while (last->next_)
    {
        if (last == factory)
        {
            return;  // already part of the chain: appending it again would make a loop
        }
        last = last->next_.get();
    }
    if (last == factory)
    {
        return;
    }
    last->next_.reset(factory);
}

void ChunkItemFactory::setReader(IStreamReader* reader)
{
    for (ChunkItemFactory* factory = this; factory != nullptr; factory = factory->next_.get())
    {
        factory->reader_ = reader;
    }
}

IStreamReader* ChunkItemFactory::makeWindow(int64_t start, int64_t length) const
{
    return new BoundedStreamReader(reader_, start, length);
}

}  // namespace vex::pkg
