// Installing a 256 MiB tar item (a few large files and many small ones) out of a package: streamed from the
// package through libarchive onto the disk, then every file checked against the item's MD5 list, the
// listing checked and the files time-stamped. The reference, measured in the same iteration on the same
// archive, is what a shell would do by hand: `tar -xf` of the archive file, then `md5sum -c` of its list.
// The counter "ratio" is our time over the reference's; the target is at most 1.3.
#include "log/LogStream.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/ChunkItemSystemFactory.h"
#include "pkg/read/ChunkItemUnknownFactory.h"
#include "pkg/read/ChunkItemUserFactory.h"
#include "pkg/read/PackageChunksLoader.h"
#include "pkg/trust/DoNothingVerifier.h"
#include "pkg/writer/PackageWriter.h"
#include "pkg/writer/TarItemBuilder.h"
#include "tar/LibArchiveExtractorFactory.h"
#include "tar/TarExtractor.h"

#include <benchmark/benchmark.h>
#include <boost/filesystem.hpp>

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace vex::log;
using namespace vex::pkg;
using namespace vex::pkg::writer;
using namespace vex::tar;

namespace fs = boost::filesystem;

namespace
{
constexpr int kLargeFiles = 4;
constexpr size_t kLargeSize = 48u << 20;
constexpr int kSmallFiles = 4096;
constexpr size_t kSmallSize = 16u << 10;

std::string Filler(size_t size, uint32_t seed)
{
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i += 4)
    {
        x = x * 1664525u + 1013904223u;
        for (size_t k = 0; k < 4 && i + k < size; ++k) s[i + k] = static_cast<char>(x >> (8 * k));
    }
    return s;
}

class Fixture
{
public:
    Fixture()
    {
        boost::system::error_code ec;
        dir = fs::temp_directory_path(ec) / fs::unique_path("vex-bench-tar-%%%%-%%%%", ec);
        fs::create_directories(dir, ec);
        LogStream::Instance().Open((dir / "install.log").string());

        TarItemBuilder builder("data");
        builder.AddDirectory("./");
        builder.AddDirectory("./large/");
        for (int i = 0; i < kLargeFiles; ++i)
            builder.AddFile("./large/image" + std::to_string(i) + ".bin", Filler(kLargeSize, i));
        for (int d = 0; d < kSmallFiles / 256; ++d)
        {
            const std::string sub = "./small/d" + std::to_string(d) + "/";
            builder.AddDirectory(sub);
            for (int i = 0; i < 256; ++i)
                builder.AddFile(sub + "f" + std::to_string(i), Filler(kSmallSize, 1000 + d * 256 + i));
        }
        std::vector<uint8_t> archive;
        ok = builder.Build(archive);
        archiveBytes = archive.size();

        archivePath = (dir / "data.tar").string();
        std::FILE* f = std::fopen(archivePath.c_str(), "wb");
        ok = ok && f != nullptr && std::fwrite(archive.data(), 1, archive.size(), f) == archive.size();
        if (f != nullptr)
            std::fclose(f);

        packagePath = (dir / "update.pkg").string();
        PackageWriter writer;
        ok = ok && writer.open(packagePath) && writer.addHeader({}) &&
             writer.addTar("/rootfs/opt/data.tar", archive, -1,
                           static_cast<int64_t>(builder.ExpandedSize())) &&
             writer.close();
    }
    ~Fixture()
    {
        LogStream::Instance().Close();
        boost::system::error_code ec;
        fs::remove_all(dir, ec);
    }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    fs::path Fresh(const char* name) const
    {
        boost::system::error_code ec;
        fs::remove_all(dir / name, ec);
        fs::create_directories(dir / name, ec);
        return dir / name;
    }
    void Clear(const char* name) const
    {
        boost::system::error_code ec;
        fs::remove_all(dir / name, ec);
    }

    fs::path dir;
    std::string archivePath;
    std::string packagePath;
    size_t archiveBytes = 0;
    bool ok = false;
};

double Seconds(std::chrono::steady_clock::time_point from)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

void BM_TarItemExtractAndVerify(benchmark::State& state)
{
    Fixture fixture;
    if (!fixture.ok)
    {
        state.SkipWithError("could not build the package");
        return;
    }
    double ours = 0, reference = 0, extracting = 0, untarring = 0;
    for (auto _ : state)
    {
        const fs::path target = fixture.Fresh("ours");
        // Neither side pays for writing back what the other left in the page cache.
        state.PauseTiming();
        ::sync();
        state.ResumeTiming();
        auto start = std::chrono::steady_clock::now();
        ChunkItemFactory* chain = new ChunkItemSystemFactory;
        chain->append(new ChunkItemUserFactory);
        chain->append(new ChunkItemUnknownFactory);
        PackageChunksLoader loader(chain);
        DoNothingVerifier verifier;
        bool done = loader.load(fixture.packagePath, &verifier);
        ItemTar* tar = nullptr;
        std::vector<boost::shared_ptr<IPkgItem>> items;
        while (done && loader.hasNext())
        {
            items.push_back(loader.next());
            if (ItemTar* t = dynamic_cast<ItemTar*>(items.back().get()))
                tar = t;
        }
        // As the installer gets it, ExtractAndVerify taken in its two steps to show where the time goes.
        std::unique_ptr<TarExtractor> extractor(LibArchiveExtractorFactory::Instance().Create());
        done = tar != nullptr && extractor != nullptr && extractor->Extract(tar, target.string());
        const double extractedAt = Seconds(start);
        done = done && extractor->PostProcess(tar, target.string());
        const double oursNow = Seconds(start);
        extracting += extractedAt;
        if (!done)
        {
            state.SkipWithError("extraction or verification failed");
            return;
        }

        const fs::path byHand = fixture.Fresh("reference");
        ::sync();
        start = std::chrono::steady_clock::now();
        const std::string cd = "cd '" + byHand.string() + "' && ";
        int status = std::system((cd + "tar -xf '" + fixture.archivePath + "'").c_str());
        const double untarredAt = Seconds(start);
        status = status != 0 ? status : std::system((cd + "md5sum -c --quiet data_md5 > /dev/null").c_str());
        const double referenceNow = Seconds(start);
        untarring += untarredAt;
        if (status != 0)
        {
            state.SkipWithError("the reference command failed");
            return;
        }
        state.SetIterationTime(oursNow);
        ours += oursNow;
        reference += referenceNow;
        state.PauseTiming();
        fixture.Clear("ours");
        fixture.Clear("reference");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(fixture.archiveBytes));
    state.counters["ours_s"] = ours / static_cast<double>(state.iterations());
    state.counters["tar_md5sum_s"] = reference / static_cast<double>(state.iterations());
    state.counters["extract_s"] = extracting / static_cast<double>(state.iterations());
    state.counters["tar_s"] = untarring / static_cast<double>(state.iterations());
    state.counters["ratio"] = reference > 0 ? ours / reference : 0;
}
BENCHMARK(BM_TarItemExtractAndVerify)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
}  // namespace

BENCHMARK_MAIN();
