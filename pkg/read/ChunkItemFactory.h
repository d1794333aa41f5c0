#pragma once

#include <cstdint>
#include <memory>

namespace vex::pkg
{
class IPkgItem;
class IStreamReader;

// One link of the chain that turns a chunk into an item. Each factory tries the chunk; when it declines (a
// type it does not build, or a payload that did not parse) the next one is asked, so the chain can end with
// a catch-all. The head owns the rest of the chain.
class ChunkItemFactory
{
public:
    ChunkItemFactory();
    virtual ~ChunkItemFactory();
    ChunkItemFactory(const ChunkItemFactory&) = delete;
    ChunkItemFactory& operator=(const ChunkItemFactory&) = delete;

    // Called with the package reader on the first payload byte. Returns a new item, or null when no factory
    // of the chain accepted the chunk. Every factory is asked with the reader back on the first payload
    // byte, whatever an earlier one consumed.
    virtual IPkgItem* create(uint32_t type, int64_t size);
    // Builds the item for one chunk into `item`; false (with `item` null) when this factory declines.
    virtual bool createItem(IPkgItem*& item, uint32_t type, int64_t size) = 0;

    // Puts `factory` at the end of the chain, which takes ownership of it.
    void append(ChunkItemFactory* factory);
    // Gives every factory of the chain the package reader (not owned).
    void setReader(IStreamReader* reader);

protected:
    IStreamReader* reader() const { return reader_; }
    // A window onto the package reader for an item's data; unusable when it does not fit in the stream.
    IStreamReader* makeWindow(int64_t start, int64_t length) const;

private:
    IStreamReader* reader_ = nullptr;
    std::unique_ptr<ChunkItemFactory> next_;
};

}  // namespace vex::pkg
