// Inflating compressed file data through the sub-chunk strategy, against zlib's one-shot uncompress of the
// same blocks. Target: at least 0.95 x the reference. The ratio is printed at the end.
#include "bench/BenchSupport.h"
#include "pkg/decode/QtUncompressionStrategy.h"
#include "pkg/decode/SubChunckReadingStrategy.h"
#include "pkg/read/MemoryViewReader.h"
#include "pkg/writer/PayloadEncoder.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace vex::pkg;
using namespace vex::pkg::writer;

namespace
{
const size_t kPlainLength = 16 * 1048576;

// Data that compresses about three to one, like the configuration files and logs packages carry.
const std::vector<unsigned char>& Stored()
{
    static std::vector<unsigned char> stored;
    if (stored.empty())
    {
        static const char* words[] = {"sample ", "rate ",  "48000 ", "channel ", "gain=", "0.75 ", "probe ",
                                      "\n",      "level ", "-12dB ", "offset ",  "{ ",    "} "};
        std::vector<unsigned char> plain;
        uint32_t x = 12345;
        while (plain.size() < kPlainLength)
        {
            x = x * 1103515245U + 12345U;
            const char* w = words[(x >> 16) % 13];
            plain.insert(plain.end(), w, w + std::strlen(w));
            plain.push_back(static_cast<unsigned char>('0' + (x >> 8) % 10));
        }
        plain.resize(kPlainLength);
        PayloadEncoder::compress(plain.data(), plain.size(), stored);
    }
    return stored;
}

void BM_QtInflate_Ours(benchmark::State& state)
{
    const auto& stored = Stored();
    SubChunckReadingStrategy strategy(new QtUncompressionStrategy());
    if (!DecodeEachIteration<MemoryViewReader>(state, strategy, stored, "inflate failed"))
        return;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPlainLength));
}

// The zlib streams of the same sub-chunks, each uncompressed straight from the stored bytes.
void BM_QtInflate_ZLib(benchmark::State& state)
{
    const auto& stored = Stored();
    struct Block
    {
        size_t offset;
        size_t length;
    };
    std::vector<Block> blocks;
    for (size_t offset = 0; offset + 12 <= stored.size();)
    {
        const unsigned char* h = stored.data() + offset;
        const size_t size = h[4] | (h[5] << 8) | (h[6] << 16) | (size_t(h[7]) << 24);
        blocks.push_back(Block{offset + 12, size - 4});
        offset += 8 + size + (4 - size % 4) % 4;
    }
    std::vector<unsigned char> buffer(1048576);
    for (auto _ : state)
    {
        for (const auto& block : blocks)
        {
            uLongf length = static_cast<uLongf>(buffer.size());
            if (uncompress(buffer.data(), &length, stored.data() + block.offset,
                           static_cast<uLong>(block.length)) != Z_OK)
            {
                state.SkipWithError("uncompress failed");
                return;
            }
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPlainLength));
}

BENCHMARK(BM_QtInflate_Ours);
BENCHMARK(BM_QtInflate_ZLib);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    BestRunReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSpeedRatio("BM_QtInflate_Ours", "BM_QtInflate_Ours", "BM_QtInflate_ZLib", 0.95);
    benchmark::Shutdown();
    return 0;
}
