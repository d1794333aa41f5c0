// Loading and walking a package of 100 000 small items, the shape of a package that carries a whole
// application tree file by file. The reference is reading the same bytes sequentially with fread, the floor
// that any walk of the stream sits on. BM_HoldMinimalChunks measures the memory that holding every item of a
// package of 2 million minimal chunks costs, as the installation passes do; run it on its own
// (--benchmark_filter=HoldMinimalChunks/0, then /1) so that its peak_rss_MB is its own.
#include "base/UniqueFile.h"
#include "install/BufferedItemLoader.h"
#include "install/InstallItemComparator.h"
#include "pkg/items/ItemFile.h"
#include "pkg/read/ChunkItemSystemFactory.h"
#include "pkg/read/ChunkItemUnknownFactory.h"
#include "pkg/read/ChunkItemUserFactory.h"
#include "pkg/read/PackageChunksLoader.h"
#include "pkg/trust/DoNothingVerifier.h"
#include "pkg/writer/PackageWriter.h"

#include <sys/resource.h>

#include <benchmark/benchmark.h>
#include <boost/filesystem.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace vex::base;
using namespace vex::install;
using namespace vex::pkg;
using namespace vex::pkg::writer;

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

// Loads `path` as the installer does, its digest left unchecked; false, with the run marked failed, when the
// package cannot be loaded.
bool LoadUnverified(benchmark::State& state, PackageChunksLoader& loader, const std::string& path)
{
    DoNothingVerifier verifier;
    if (loader.load(path, &verifier))
        return true;
    state.SkipWithError("load failed");
    return false;
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
        PackageChunksLoader loader(makeChain());
        if (!LoadUnverified(state, loader, package().path()))
            return;
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

// 2 million chunks with a 4-byte payload: 24 MB that a damaged or hostile medium may hold.
constexpr int kMinimalChunks = 2000000;

void BM_HoldMinimalChunks(benchmark::State& state)
{
    boost::system::error_code ec;
    const boost::filesystem::path dir = boost::filesystem::temp_directory_path(ec) /
                                        boost::filesystem::unique_path("vex-bench-%%%%-%%%%", ec);
    boost::filesystem::create_directories(dir, ec);
    const std::string path = (dir / "minimal-chunks.pkg").string();
    {
        PackageWriter writer;
        writer.open(path);
        // Arg 0: unknown chunks with a 4-byte payload; arg 1: the smallest directory items (20 bytes each),
        // as many as fit in the same 24 MB.
        const bool directories = state.range(0) == 1;
        const PackageWriter::Bytes payload(4, 0);
        const int count = directories ? kMinimalChunks * 12 / 20 : kMinimalChunks;
        for (int i = 0; i < count; ++i)
        {
            if (directories)
            {
                writer.addDirectory("/", PackageWriter::EntryAttributes());
            }
            else
            {
                writer.addRawChunk(200, payload);
            }
        }
        if (!writer.close())
        {
            state.SkipWithError("could not write the package");
            return;
        }
    }
    size_t held = 0;
    for (auto _ : state)
    {
        PackageChunksLoader loader(makeChain());
        if (!LoadUnverified(state, loader, path))
            break;
        InstallItemComparator comparator;
        BufferedItemLoader items(loader, &comparator);
        held = items.size();
        benchmark::DoNotOptimize(held);
    }
    boost::filesystem::remove_all(dir, ec);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.counters["items_held"] = static_cast<double>(held);
}
BENCHMARK(BM_HoldMinimalChunks)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

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
