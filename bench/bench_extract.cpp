// Writing a 256 MiB plain file item out of a package, MD5 check of the written file included, against
// "cp" + "md5sum" of the same bytes. Target: at most 1.3 x the reference time. The ratio is printed at the
// end. Both sides are timed on the wall clock: the reference runs in child processes.
#include "bench/BenchSupport.h"
#include "tests/support/WriteAndLoadPackage.h"

#include "install/DataInfoExtractor.h"
#include "pkg/decode/ReadingStrategy.h"
#include "pkg/items/ItemFile.h"

#include <benchmark/benchmark.h>
#include <boost/filesystem.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

using namespace vex::install;
using namespace vex::pkg;
using namespace vex::pkg::writer;

namespace
{
const size_t kItemSize = 256u * 1024 * 1024;

// The package, its item and the same bytes as a plain file, made once for every benchmark.
class Fixture
{
public:
    static Fixture& Get()
    {
        static Fixture fixture;
        return fixture;
    }

    ~Fixture()
    {
        package_.reset();
        boost::system::error_code ec;
        boost::filesystem::remove_all(dir_, ec);
    }

    bool ok() const { return file_ != nullptr; }
    ItemFile* item() const { return file_; }
    std::string path(const char* name) const { return (dir_ / name).string(); }

private:
    Fixture()
    {
        boost::system::error_code ec;
        dir_ = boost::filesystem::temp_directory_path(ec) /
               boost::filesystem::unique_path("bench-extract-%%%%-%%%%");
        boost::filesystem::create_directories(dir_, ec);

        test_support::Bytes content(kItemSize);
        uint32_t x = 2463534242u;
        for (uint8_t& byte : content)
        {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            byte = static_cast<uint8_t>(x);
        }
        PackageWriter::FileInfo info;
        info.path = "/kelda_usr/data.bin";
        if (!test_support::writePackage(path("package.pkg"),
                                        [&](PackageWriter& w) { w.addFile(info, content); }))
        {
            return;
        }
        std::FILE* plain = std::fopen(path("plain.bin").c_str(), "wb");
        if (plain == nullptr)
        {
            return;
        }
        const bool written = std::fwrite(content.data(), 1, content.size(), plain) == content.size();
        if (std::fclose(plain) != 0 || !written)
        {
            return;
        }
        package_ = std::make_unique<test_support::LoadedPackage>(path("package.pkg"));
        if (!package_->loaded())
        {
            return;
        }
        for (const auto& entry : package_->items())
        {
            if (auto* candidate = dynamic_cast<ItemFile*>(entry.get()))
            {
                items_.push_back(entry);
                file_ = candidate;
            }
        }
    }

    boost::filesystem::path dir_;
    std::unique_ptr<test_support::LoadedPackage> package_;
    test_support::ItemList items_;
    ItemFile* file_ = nullptr;
};

void BM_Extract_Ours(benchmark::State& state)
{
    Fixture& fixture = Fixture::Get();
    if (!fixture.ok())
    {
        state.SkipWithError("could not build the package");
        return;
    }
    DataInfoExtractor extractor;
    const std::string out = fixture.path("extracted.bin");
    for (auto _ : state)
    {
        ReadingStrategy strategy(1048576);  // what the installer uses for plain files
        if (extractor.ExtractToFile(&fixture.item()->dataInfo(), out, &strategy) != DataInfoExtractor::kOk)
        {
            state.SkipWithError("extraction failed");
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kItemSize));
}

void BM_Extract_CpMd5sum(benchmark::State& state)
{
    Fixture& fixture = Fixture::Get();
    if (!fixture.ok())
    {
        state.SkipWithError("could not build the package");
        return;
    }
    const std::string command = "cp " + fixture.path("plain.bin") + " " + fixture.path("copied.bin") +
                                " && md5sum " + fixture.path("copied.bin") + " > /dev/null";
    for (auto _ : state)
    {
        if (std::system(command.c_str()) != 0)
        {
            state.SkipWithError("cp or md5sum failed");
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kItemSize));
}

// Interleaved, so that both sides see the same state of the machine and of its page cache.
BENCHMARK(BM_Extract_CpMd5sum)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_Extract_Ours)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_Extract_CpMd5sum)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_Extract_Ours)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(4);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    BestRunReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double limit = 1.3;
    const double ours = reporter.RealTime("BM_Extract_Ours");
    const double reference = reporter.RealTime("BM_Extract_CpMd5sum");
    if (ours > 0 && reference > 0)
    {
        const double ratio = ours / reference;
        std::printf("ExtractToFile: %.2f x the time of cp + md5sum (limit %.2f) %s\n", ratio, limit,
                    ratio <= limit ? "ok" : "ABOVE LIMIT");
    }
    benchmark::Shutdown();
    return 0;
}
