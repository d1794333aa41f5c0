// MD5Algorithm against OpenSSL's MD5 over the same 256 MiB in memory, in the same run. Each is measured
// several times and the best run of each is compared, so that a burst of other work on the machine does
// not decide the ratio. The last lines print both throughputs and their ratio.
#include "bench/BenchSupport.h"
#include "instrument/MD5Algorithm.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace vex::instrument;

namespace
{

const std::size_t kBytes = 256u << 20;

const std::vector<unsigned char>& input()
{
    static const std::vector<unsigned char> bytes = []
    {
        std::vector<unsigned char> data(kBytes);
        uint64_t state = 0x9e3779b97f4a7c15ull;
        for (unsigned char& byte : data)
        {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            byte = static_cast<unsigned char>(state);
        }
        return data;
    }();
    return bytes;
}

std::string ours(const std::vector<unsigned char>& data)
{
    MD5Algorithm md5;
    md5.update(data.data(), data.size());
    md5.finalize();
    return md5.hexDigest();
}

std::string openssl(const std::vector<unsigned char>& data)
{
    struct ContextFree
    {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), data.data(), data.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
    {
        return "";
    }
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i)
    {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

template <std::string (*Hash)(const std::vector<unsigned char>&)>
void hash256MiB(benchmark::State& state)
{
    const std::vector<unsigned char>& data = input();
    if (ours(std::vector<unsigned char>(data.begin(), data.begin() + 1000003)) !=
        openssl(std::vector<unsigned char>(data.begin(), data.begin() + 1000003)))
    {
        state.SkipWithError("MD5Algorithm and OpenSSL disagree");
        return;
    }
    for (auto _ : state)
    {
        std::string digest = Hash(data);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}

BENCHMARK(hash256MiB<ours>)->Name("MD5Algorithm/256MiB")->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(hash256MiB<openssl>)->Name("OpenSSL_MD5/256MiB")->Unit(benchmark::kMillisecond)->Repetitions(5);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
    {
        return 1;
    }
    BestRunReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (const auto rates = reporter.BestRates("MD5Algorithm/256MiB", "OpenSSL_MD5/256MiB"))
    {
        std::printf(
            "best MD5Algorithm: %.1f MiB/s\nbest OpenSSL MD5:  %.1f MiB/s\nratio: %.3f (target >= 0.9)\n",
            rates->ours, rates->reference, rates->Ratio());
    }
    benchmark::Shutdown();
    return 0;
}
