// Loading and walking a package of 100 000 small items, the shape of a package that carries a whole
// application tree file by file. The reference is reading the same bytes sequentially with fread, the floor
// that any walk of the stream sits on.
#include "ChunkItemSystemFactory.h"
#include "ChunkItemUnknownFactory.h"
#include "ChunkItemUserFactory.h"
#include "DoNothingVerifier.h"
#include "ItemFile.h"
#include "PackageChunksLoader.h"
#include "PackageWriter.h"
#include "UniqueFile.h"

#include <benchmark/benchmark.h>
#include <boost/filesystem.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace
{
constexpr int kItems = 100000;

class PackageOnDisk
{
public:
    PackageOnDisk()
    {
        boost::system::error_code ec;
        dir_ = boost::filesystem::temp_directory_path(ec) /
               boost::filesystem::unique_path("vex-bench-%%%%-%%%%", ec);
        boost::filesystem::create_directories(dir_, ec);
        path_ = (dir_ / "many-items.pkg").string();

        PackageWriter writer;
        writer.open(path_);
        PackageWriter::Header header;
        writer.addHeader(header);
        PackageWriter::FileInfo info;
        info.attributes.mode = 0x01ED;
        PackageWriter::LinkInfo link;
        for (int i = 1; i < kItems; ++i)
        {
            const std::string name = "/apps/tree/d" + std::to_string(i / 100) + "/n" + std::to_string(i);
            switch (i % 4)
            {
                case 0:
                    writer.addDirectory(name, info.attributes);
                    break;
                case 3:
                    link.linkPath = name;
                    link.target = "target";
                    writer.addLink(link);
                    break;
                default:
                    info.path = name;
                    writer.addFile(info, PackageWriter::Bytes(48, static_cast<uint8_t>(i)));
                    break;
            }
        }
        ok_ = writer.close();
        bytes_ = writer.bytesWritten();
    }
    ~PackageOnDisk()
    {
        boost::system::error_code ec;
        boost::filesystem::remove_all(dir_, ec);
    }

    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }
    int64_t bytes() const { return bytes_; }

private:
    boost::filesystem::path dir_;
    std::string path_;
    int64_t bytes_ = 0;
    bool ok_ = false;
};

PackageOnDisk& package()
{
    static PackageOnDisk instance;
    return instance;
}

ChunkItemFactory* makeChain()
{
    ChunkItemFactory* head = new ChunkItemSystemFactory;
    head->append(new ChunkItemUserFactory);
    head->append(new ChunkItemUnknownFactory);
    return head;
}

void BM_LoadAndWalk(benchmark::State& state)
{
    if (!package().ok())
    {
        state.SkipWithError("could not write the package");
        return;
    }
    int64_t items = 0;
    for (auto _ : state)
    {
        DoNothingVerifier verifier;
        PackageChunksLoader loader(makeChain());
        if (!loader.load(package().path(), &verifier))
        {
            state.SkipWithError("load failed");
            return;
        }
        int64_t count = 0;
        while (loader.hasNext())
        {
            benchmark::DoNotOptimize(loader.next());
            ++count;
        }
        if (count != kItems)
        {
            state.SkipWithError("wrong item count");
            return;
        }
        items += count;
    }
    state.counters["items_per_second"] =
        benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(state.iterations() * package().bytes());
}
BENCHMARK(BM_LoadAndWalk)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReferenceSequentialRead(benchmark::State& state)
{
    std::vector<char> buffer(1 << 16);
    for (auto _ : state)
    {
        const UniqueFile file(std::fopen(package().path().c_str(), "rb"));
        if (!file)
        {
            state.SkipWithError("open failed");
            return;
        }
        size_t total = 0;
        size_t got = 0;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0)
        {
            total += got;
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(state.iterations() * package().bytes());
}
BENCHMARK(BM_ReferenceSequentialRead)->Unit(benchmark::kMillisecond)->UseRealTime();
}  // namespace

BENCHMARK_MAIN();
