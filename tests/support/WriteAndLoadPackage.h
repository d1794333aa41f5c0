#pragma once

// Helpers for tests that need a package on disk: build it with PackageWriter, load it back through the
// installer's own loader and factory chain, and walk or read its items.

#include "pkg/read/ChunkItemSystemFactory.h"
#include "pkg/read/ChunkItemUnknownFactory.h"
#include "pkg/read/ChunkItemUserFactory.h"
#include "pkg/read/IStreamReader.h"
#include "pkg/read/PackageChunksLoader.h"
#include "pkg/trust/DoNothingVerifier.h"
#include "pkg/writer/PackageWriter.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace test_support
{
using Bytes = std::vector<uint8_t>;
using ItemList = std::vector<boost::shared_ptr<vex::pkg::IPkgItem>>;

// The chain the installer uses: system items, then user items, then the catch-all.
inline vex::pkg::ChunkItemFactory* makeChunkFactoryChain()
{
    vex::pkg::ChunkItemFactory* head = new vex::pkg::ChunkItemSystemFactory;
    head->append(new vex::pkg::ChunkItemUserFactory);
    head->append(new vex::pkg::ChunkItemUnknownFactory);
    return head;
}

// Writes a package to `path` with whatever `build` adds after the lead-in. False if any write failed.
inline bool writePackage(const std::string& path,
                         const std::function<void(vex::pkg::writer::PackageWriter&)>& build,
                         int64_t partSize = 0)
{
    vex::pkg::writer::PackageWriter writer;
    if (!writer.open(path, partSize))
    {
        return false;
    }
    build(writer);
    return writer.close();
}

// Every item up to the end of the walk. The walk is cut off after `limit` items so that a loader that
// never ends fails the test instead of hanging it.
inline ItemList walkAll(vex::pkg::IPackageLoader& loader, size_t limit = 100000)
{
    ItemList items;
    while (items.size() < limit && loader.hasNext())
    {
        items.push_back(loader.next());
    }
    return items;
}

// All bytes a data window delivers from its start (moves the window's position).
inline Bytes readAll(vex::pkg::IStreamReader* reader)
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
    vex::pkg::PackageChunksLoader& loader() { return loader_; }
    ItemList items(size_t limit = 100000) { return walkAll(loader_, limit); }

private:
    vex::pkg::DoNothingVerifier verifier_;
    vex::pkg::PackageChunksLoader loader_;
    bool loaded_ = false;
};
}  // namespace test_support
