#pragma once

// Helpers for tests that need a package on disk: build it with PackageWriter, load it back through the
// installer's own loader and factory chain, and walk or read its items.

#include "ChunkItemSystemFactory.h"
#include "ChunkItemUnknownFactory.h"
#include "ChunkItemUserFactory.h"
#include "DoNothingVerifier.h"
#include "IStreamReader.h"
#include "PackageChunksLoader.h"
#include "PackageWriter.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace test_support
{
using Bytes = std::vector<uint8_t>;
using ItemList = std::vector<boost::shared_ptr<IPkgItem>>;

// The chain the installer uses: system items, then user items, then the catch-all.
inline ChunkItemFactory* makeChunkFactoryChain()
{
    ChunkItemFactory* head = new ChunkItemSystemFactory;
    head->append(new ChunkItemUserFactory);
    head->append(new ChunkItemUnknownFactory);
    return head;
}

// Writes a package to `path` with whatever `build` adds after the lead-in. False if any write failed.
inline bool writePackage(const std::string& path, const std::function<void(PackageWriter&)>& build,
                         int64_t partSize = 0)
{
    PackageWriter writer;
    if (!writer.open(path, partSize))
    {
        return false;
    }
    build(writer);
    return writer.close();
}

// Every item up to the end of the walk. The walk is cut off after `limit` items so that a loader that
// never ends fails the test instead of hanging it.
inline ItemList walkAll(IPackageLoader& loader, size_t limit = 100000)
{
    ItemList items;
    while (items.size() < limit && loader.hasNext())
    {
        items.push_back(loader.next());
    }
    return items;
}

// All bytes a data window delivers from its start (moves the window's position).
inline Bytes readAll(IStreamReader* reader)
{
    Bytes out;
    if (reader == nullptr || !reader->seek(0))
    {
        return out;
    }
    uint8_t buffer[4096];
    for (;;)
    {
        const int64_t got = reader->read(buffer, sizeof buffer);
        if (got <= 0)
        {
            break;
        }
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

inline Bytes bytesOf(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// A loader with the installer's chain and the accept-everything verifier, loaded from `path`.
class LoadedPackage
{
public:
    explicit LoadedPackage(const std::string& path) : loader_(makeChunkFactoryChain())
    {
        loaded_ = loader_.load(path, &verifier_);
    }

    bool loaded() const { return loaded_; }
    PackageChunksLoader& loader() { return loader_; }
    ItemList items(size_t limit = 100000) { return walkAll(loader_, limit); }

private:
    DoNothingVerifier verifier_;
    PackageChunksLoader loader_;
    bool loaded_ = false;
};
}  // namespace test_support
