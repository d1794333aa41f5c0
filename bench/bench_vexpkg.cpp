// vex-pkg against doing the same work by hand, on one package of plain, zlib and Blowfish files and a gzip
// tar, a quarter of the size each:
//   verify: the tool against md5 of the plain bytes, OpenSSL Blowfish-CBC, zlib and "tar -xzf" to a tmpfs
//           with "md5sum -c" (target: at most 1.5 x), and the tool's peak memory (target: under 64 MiB);
//   create: the tool against "tar -czf" of the tree, OpenSSL encryption, zlib and the inputs' MD5
//           (target: at most 1.3 x).
// The size is VEX_BENCH_PACKAGE_MIB (default 1024). The tool runs as its own process, so that its peak
// memory is its own; the ratios are printed at the end.
#include "pkg/trust/IKeyProvider.h"
#include "pkg/trust/SecurityLevel0Factory.h"
#include "pkg/writer/PayloadEncoder.h"

#include <benchmark/benchmark.h>
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <openssl/md5.h>
#include <zlib.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

using namespace vex::pkg;
using namespace vex::pkg::writer;

extern char** environ;

namespace
{
namespace fs = boost::filesystem;
using Bytes = std::vector<unsigned char>;

const size_t kTreeFile = 4u << 20;
const size_t kSegment = 65536;
const size_t kBlock = 1u << 20;

std::string g_dir;
size_t g_quarter = 0;
std::map<std::string, double> g_seconds;
long g_peakKiB = 0;

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Text-like bytes: zlib and gzip have work to do but do not collapse them to nothing.
Bytes Content(size_t length, unsigned seed)
{
    Bytes bytes(length);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < length; ++i)
    {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<unsigned char>('a' + (x >> 16) % 20);
    }
    return bytes;
}

// Runs a program and waits.
int Spawn(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Setup()
{
    if (!g_dir.empty())
        return;
    const char* mib = std::getenv("VEX_BENCH_PACKAGE_MIB");
    const size_t total = static_cast<size_t>(mib != nullptr ? std::atol(mib) : 1024) << 20;
    g_quarter = total / 4;
    const fs::path shm("/dev/shm");
    boost::system::error_code ec;
    g_dir = ((fs::is_directory(shm, ec) ? shm : fs::temp_directory_path()) /
             fs::unique_path("vex-bench-%%%%-%%%%"))
                .string();
    fs::create_directories(g_dir + "/in/tree/data");
    WriteFile(g_dir + "/in/plain.bin", Content(g_quarter, 1));
    WriteFile(g_dir + "/in/zlib.bin", Content(g_quarter, 2));
    WriteFile(g_dir + "/in/blowfish.bin", Content(g_quarter, 3));
    for (size_t done = 0, n = 0; done < g_quarter; done += kTreeFile, ++n)
        WriteFile(g_dir + "/in/tree/data/f" + std::to_string(n),
                  Content(std::min(kTreeFile, g_quarter - done), 10 + unsigned(n)));
    std::ofstream(g_dir + "/in/manifest.toml") << R"([package]
type = "maintenance"
date = "06/15/2024"
[[file]]
source = "plain.bin"
path = "/kelda_usr/plain.bin"
[[file]]
source = "zlib.bin"
path = "/kelda_usr/zlib.bin"
encoding = "zlib"
[[file]]
source = "blowfish.bin"
path = "/kelda_usr/blowfish.bin"
encoding = "blowfish"
[[tar]]
path = "/rootfs/opt/data.tar.gz"
from_dir = "tree"
)";
    // The stored forms the by-hand decoding starts from.
    Bytes plain = ReadFile(g_dir + "/in/zlib.bin"), stored;
    PayloadEncoder::compress(plain.data(), plain.size(), stored);
    WriteFile(g_dir + "/zlib.stored", stored);
    plain = ReadFile(g_dir + "/in/blowfish.bin");
    PayloadEncoder::encrypt(1, plain.data(), plain.size(), stored);
    WriteFile(g_dir + "/blowfish.stored", stored);
    std::system(("cd '" + g_dir + "/in/tree' && md5sum data/* > data/data_md5 && tar -czf '" + g_dir +
                 "/data.tar.gz' data && rm data/data_md5")
                    .c_str());
    Spawn({VEX_PKG_PATH, "create", g_dir + "/in/manifest.toml", "-o", g_dir + "/p.pkg"});
}

std::string Md5(const unsigned char* data, size_t length)
{
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5(data, length, digest);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

void Record(benchmark::State& state, const char* name, double seconds)
{
    state.SetIterationTime(seconds);
    g_seconds[name] += seconds;  // the ratios compare the totals of all iterations
}

template <typename Work>
double Seconds(Work work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Verify_VexPkg(benchmark::State& state)
{
    Setup();
    for (auto _ : state)
    {
        int status = 0;
        // GNU time reports the tool's own peak: a child spawned straight from here would be charged with the
        // peak of this process, whose memory it shares until it runs the tool.
        Record(state, "verify tool",
               Seconds(
                   [&]()
                   {
                       status = Spawn({"/usr/bin/time", "-f", "%M", "-o", g_dir + "/peak", VEX_PKG_PATH,
                                       "verify", g_dir + "/p.pkg"});
                   }));
        if (status != 0)
            state.SkipWithError("vex-pkg verify failed");
        Bytes peak = ReadFile(g_dir + "/peak");
        peak.push_back(0);
        g_peakKiB = std::max(g_peakKiB, std::atol(reinterpret_cast<const char*>(peak.data())));
    }
    state.counters["peak_MiB"] = static_cast<double>(g_peakKiB) / 1024.0;
}

void BM_Verify_ByHand(benchmark::State& state)
{
    Setup();
    IKeyProvider* keys = SecurityLevel0Factory::instance().keyProvider();
    BF_KEY key;
    BF_set_key(&key, 8, keys->key());
    for (auto _ : state)
    {
        Record(state, "verify by hand",
               Seconds(
                   [&]()
                   {
                       Bytes plain = ReadFile(g_dir + "/in/plain.bin");
                       benchmark::DoNotOptimize(Md5(plain.data(), plain.size()));
                       // Blowfish-CBC, one segment (vector + blocks) at a time, then the MD5 of the result.
                       const Bytes encrypted = ReadFile(g_dir + "/blowfish.stored");
                       Bytes out(encrypted.size());
                       size_t produced = 0;
                       for (size_t at = 0; at < encrypted.size(); at += kSegment + 16)
                       {
                           const size_t length = std::min(kSegment + 16, encrypted.size() - at);
                           unsigned char iv[8];
                           std::memcpy(iv, encrypted.data() + at, 8);
                           BF_cbc_encrypt(encrypted.data() + at + 8, out.data() + produced,
                                          static_cast<long>(length - 8), &key, iv, BF_DECRYPT);
                           produced += length - 8 - out[produced + length - 9];
                       }
                       benchmark::DoNotOptimize(Md5(out.data(), produced));
                       // zlib, one framed block at a time.
                       const Bytes compressed = ReadFile(g_dir + "/zlib.stored");
                       Bytes inflated(g_quarter + kBlock);
                       produced = 0;
                       for (size_t at = 0; at + 12 <= compressed.size();)
                       {
                           uint32_t size = 0;
                           std::memcpy(&size, compressed.data() + at + 4, 4);
                           uLongf length = kBlock;
                           uncompress(inflated.data() + produced, &length, compressed.data() + at + 12,
                                      size - 4);
                           produced += length;
                           at += 8 + size + (4 - size % 4) % 4;
                       }
                       benchmark::DoNotOptimize(Md5(inflated.data(), produced));
                       std::system(("rm -rf '" + g_dir + "/x' && mkdir '" + g_dir + "/x' && tar -xzf '" +
                                    g_dir + "/data.tar.gz' -C '" + g_dir + "/x' && cd '" + g_dir +
                                    "/x' && md5sum -c --quiet data/data_md5")
                                       .c_str());
                   }));
    }
}

void BM_Create_VexPkg(benchmark::State& state)
{
    Setup();
    for (auto _ : state)
    {
        int status = 0;
        Record(state, "create tool",
               Seconds(
                   [&]() {
                       status = Spawn(
                           {VEX_PKG_PATH, "create", g_dir + "/in/manifest.toml", "-o", g_dir + "/q.pkg"});
                   }));
        if (status != 0)
            state.SkipWithError("vex-pkg create failed");
    }
}

void BM_Create_ByHand(benchmark::State& state)
{
    Setup();
    IKeyProvider* keys = SecurityLevel0Factory::instance().keyProvider();
    BF_KEY key;
    BF_set_key(&key, 8, keys->key());
    for (auto _ : state)
    {
        Record(state, "create by hand",
               Seconds(
                   [&]()
                   {
                       const Bytes plain = ReadFile(g_dir + "/in/plain.bin");
                       benchmark::DoNotOptimize(Md5(plain.data(), plain.size()));
                       const Bytes toEncrypt = ReadFile(g_dir + "/in/blowfish.bin");
                       benchmark::DoNotOptimize(Md5(toEncrypt.data(), toEncrypt.size()));
                       Bytes encrypted(toEncrypt.size() + toEncrypt.size() / kSegment * 16 + 32);
                       size_t written = 0;
                       for (size_t at = 0; at < toEncrypt.size(); at += kSegment)
                       {
                           const size_t length = std::min(kSegment, toEncrypt.size() - at);
                           unsigned char iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
                           std::memcpy(encrypted.data() + written, iv, 8);
                           // The padding block is left to the tool; the whole blocks are the work.
                           BF_cbc_encrypt(toEncrypt.data() + at, encrypted.data() + written + 8,
                                          static_cast<long>(length), &key, iv, BF_ENCRYPT);
                           written += 8 + length + 8;
                       }
                       WriteFile(g_dir + "/blowfish.hand", encrypted);
                       const Bytes toCompress = ReadFile(g_dir + "/in/zlib.bin");
                       benchmark::DoNotOptimize(Md5(toCompress.data(), toCompress.size()));
                       Bytes compressed(compressBound(kBlock) * (toCompress.size() / kBlock + 1));
                       written = 0;
                       for (size_t at = 0; at < toCompress.size(); at += kBlock)
                       {
                           uLongf length = compressBound(kBlock);
                           compress2(compressed.data() + written, &length, toCompress.data() + at,
                                     std::min(kBlock, toCompress.size() - at), Z_DEFAULT_COMPRESSION);
                           written += length;
                       }
                       compressed.resize(written);
                       WriteFile(g_dir + "/zlib.hand", compressed);
                       std::system(("cd '" + g_dir + "/in/tree' && md5sum data/* > /dev/null && tar -czf '" +
                                    g_dir + "/hand.tar.gz' data")
                                       .c_str());
                   }));
    }
}

BENCHMARK(BM_Verify_VexPkg)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Verify_ByHand)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Create_VexPkg)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Create_ByHand)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    if (g_seconds.size() == 4)
    {
        std::printf("package of %zu MiB\n", g_quarter * 4 >> 20);
        std::printf("verify: %.2f x by hand (target <= 1.5), peak memory %.1f MiB (target < 64)\n",
                    g_seconds["verify tool"] / g_seconds["verify by hand"],
                    static_cast<double>(g_peakKiB) / 1024);
        std::printf("create: %.2f x by hand (target <= 1.3)\n",
                    g_seconds["create tool"] / g_seconds["create by hand"]);
    }
    if (!g_dir.empty())
    {
        boost::system::error_code ec;
        fs::remove_all(g_dir, ec);
    }
    benchmark::Shutdown();
    return 0;
}
