// Decryption speed of encrypted file data, 64 KiB segments, against OpenSSL's CBC on the same bytes.
// Targets: Blowfish at least 0.8 x the reference, DES at least 0.7 x. The ratios are printed at the end.
#include "bench/BenchSupport.h"
#include "pkg/decode/CBlowFish.h"
#include "pkg/decode/CDes.h"
#include "pkg/decode/DecryptionStrategy.h"
#include "pkg/read/MemoryViewReader.h"
#include "pkg/trust/IKeyProvider.h"
#include "pkg/trust/SecurityLevel0Factory.h"
#include "pkg/writer/PayloadEncoder.h"

#include <benchmark/benchmark.h>
// OpenSSL 3 keeps these ciphers only in its deprecated low-level interface, which is what we compare with.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <openssl/des.h>

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
const size_t kPlainLength = 64 * 65536;  // 64 segments

const std::vector<unsigned char>& Stored(int cipherType)
{
    static std::map<int, std::vector<unsigned char>> stored;
    auto& bytes = stored[cipherType];
    if (bytes.empty())
    {
        std::vector<unsigned char> plain(kPlainLength);
        for (size_t i = 0; i < plain.size(); ++i)
        {
            plain[i] = static_cast<unsigned char>(i * 2654435761U >> 13);
        }
        PayloadEncoder::encrypt(cipherType, plain.data(), plain.size(), bytes);
    }
    return bytes;
}

void Ours(benchmark::State& state, int cipherType)
{
    const auto& stored = Stored(cipherType);
    DecryptionStrategy strategy(cipherType);
    if (!DecodeEachIteration<MemoryViewReader>(state, strategy, stored, "decryption failed"))
        return;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stored.size()));
}

// The reference decrypts each segment's blocks with the segment's vector, as our strategy does.
template <typename Decrypt>
void Reference(benchmark::State& state, int cipherType, Decrypt decrypt)
{
    const auto& stored = Stored(cipherType);
    std::vector<unsigned char> buffer(65552);
    for (auto _ : state)
    {
        for (size_t offset = 0; offset < stored.size(); offset += 65552)
        {
            const size_t length = std::min<size_t>(65552, stored.size() - offset);
            unsigned char iv[8];
            std::memcpy(iv, stored.data() + offset, 8);
            decrypt(stored.data() + offset + 8, buffer.data(), length - 8, iv);
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stored.size()));
}

void BM_BlowfishCbc_Ours(benchmark::State& state)
{
    Ours(state, 1);
}

void BM_BlowfishCbc_OpenSSL(benchmark::State& state)
{
    IKeyProvider* keys = SecurityLevel0Factory::instance().keyProvider();
    BF_KEY key;
    BF_set_key(&key, 8, keys->key());
    Reference(state, 1,
              [&key](const unsigned char* in, unsigned char* out, size_t length, unsigned char* iv)
              { BF_cbc_encrypt(in, out, static_cast<long>(length), &key, iv, BF_DECRYPT); });
}

void BM_DesCbc_Ours(benchmark::State& state)
{
    Ours(state, 2);
}

void BM_DesCbc_OpenSSL(benchmark::State& state)
{
    IKeyProvider* keys = SecurityLevel0Factory::instance().keyProvider();
    DES_cblock keyBlock;
    std::memcpy(keyBlock, keys->key(), 8);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&keyBlock, &schedule);
    Reference(state, 2,
              [&schedule](const unsigned char* in, unsigned char* out, size_t length, unsigned char* iv)
              {
                  DES_ncbc_encrypt(in, out, static_cast<long>(length), &schedule,
                                   reinterpret_cast<DES_cblock*>(iv), DES_DECRYPT);
              });
}

BENCHMARK(BM_BlowfishCbc_Ours);
BENCHMARK(BM_BlowfishCbc_OpenSSL);
BENCHMARK(BM_DesCbc_Ours);
BENCHMARK(BM_DesCbc_OpenSSL);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    BestRunReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSpeedRatio("BlowfishCbc", "BM_BlowfishCbc_Ours", "BM_BlowfishCbc_OpenSSL", 0.8);
    reporter.PrintSpeedRatio("DesCbc", "BM_DesCbc_Ours", "BM_DesCbc_OpenSSL", 0.7);
    benchmark::Shutdown();
    return 0;
}
