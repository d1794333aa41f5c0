// Verifying a signed package against sha512sum over the same file, in the same run. The package (1 GiB, or
// VEX_BENCH_SIGNED_MIB MiB) is written and signed once; each measurement is a fresh process, the
// verifier being this program re-run with "--verify PACKAGE KEYS", so that both are timed from start to
// exit and their peak resident memory is reported by GNU time. The file is read once beforehand so
// that both find it in the page cache. The best of several runs of each is compared, so that a burst of
// other work on the machine does not decide the ratio; the last lines print both throughputs, the ratio
// and the verifier's peak memory.
#include "bench/BenchSupport.h"
#include "pkg/read/MultipleFileReader.h"
#include "pkg/trust/SignatureVerifier.h"
#include "pkg/writer/PackageSigner.h"
#include "pkg/writer/PackageWriter.h"

#include <benchmark/benchmark.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace vex::pkg;
using namespace vex::pkg::writer;

extern char** environ;

namespace
{
std::string g_self;
std::string g_package;
std::string g_keys;
int64_t g_bytes = 0;

int64_t packageMiB()
{
    const char* value = std::getenv("VEX_BENCH_SIGNED_MIB");
    const long mib = value != nullptr ? std::strtol(value, nullptr, 10) : 1024;
    return mib > 0 ? mib : 1024;
}

// A package of system images filling `mib` MiB, signed with a fresh key whose public half is in `keys`.
bool makePackage(const std::string& dir, int64_t mib)
{
    g_package = dir + "/signed.pkg";
    g_keys = dir + "/keys";
    boost::system::error_code ec;
    boost::filesystem::create_directories(g_keys, ec);
    std::string error;
    if (!PackageSigner::generateKeyPair(dir + "/bench.key", g_keys + "/bench.pem", error))
    {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    PackageWriter writer;
    writer.open(g_package);
    writer.addHeader(PackageWriter::Header());
    PackageWriter::Bytes image(16u << 20);
    for (size_t i = 0; i < image.size(); ++i)
    {
        image[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    }
    for (int64_t written = 0; written < (mib << 20); written += static_cast<int64_t>(image.size()))
    {
        image[0]++;
        writer.addSystemImage(PackageFormat::kTypeServiceRootFS, image);
    }
    if (!writer.close() || !PackageSigner::sign(g_package, dir + "/bench.key", error))
    {
        std::fprintf(stderr, "cannot write the package: %s\n", error.c_str());
        return false;
    }
    g_bytes = static_cast<int64_t>(boost::filesystem::file_size(g_package));
    return true;
}

struct Run
{
    bool ok = false;
    double seconds = 0;
    long peakKiB = 0;
};

// Runs the command under GNU time, whose report gives the command's own peak resident memory: measured with
// wait4 from this process, it would include what this process held when it forked.
Run spawnAndWait(const std::vector<std::string>& command)
{
    const std::string report = g_package + ".time";
    std::vector<std::string> args = {"time", "-f", "%M", "-o", report};
    args.insert(args.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
    {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);
    // stdout of the child goes nowhere: sha512sum's one line is not part of the report.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    Run run;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
    {
        return run;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
    {
        return run;
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::FILE* file = std::fopen(report.c_str(), "r");
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && file != nullptr &&
             std::fscanf(file, "%ld", &run.peakKiB) == 1;
    if (file != nullptr)
    {
        std::fclose(file);
    }
    return run;
}

void measure(benchmark::State& state, const std::vector<std::string>& command)
{
    for (auto _ : state)
    {
        const Run run = spawnAndWait(command);
        if (!run.ok)
        {
            state.SkipWithError(("failed: " + command[0]).c_str());
            return;
        }
        state.SetIterationTime(run.seconds);
        state.counters["peak_MiB"] = static_cast<double>(run.peakKiB) / 1024.0;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * g_bytes);
}

void sha512sum(benchmark::State& state)
{
    measure(state, {"sha512sum", g_package});
}

void verifier(benchmark::State& state)
{
    measure(state, {g_self, "--verify", g_package, g_keys});
}

// The verifying process: what the installer does with the package, nothing else.
int verifyOnly(const std::string& package, const std::string& keys)
{
    MultipleFileReader reader;
    if (!reader.addFile(package))
    {
        return 2;
    }
    SignatureVerifier verifier(keys, nullptr);
    const bool ok = verifier.verify(&reader);
    if (!ok)
    {
        std::fprintf(stderr, "%s\n", verifier.resultDetail().c_str());
    }
    return ok ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--verify") == 0)
    {
        return verifyOnly(argv[2], argv[3]);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
    {
        return 1;
    }
    g_self = argv[0];
    boost::system::error_code ec;
    const boost::filesystem::path dir = boost::filesystem::temp_directory_path(ec) /
                                        boost::filesystem::unique_path("vex-bench-sig-%%%%-%%%%", ec);
    boost::filesystem::create_directories(dir, ec);
    int status = 1;
    if (makePackage(dir.string(), packageMiB()) && spawnAndWait({g_self, "--verify", g_package, g_keys}).ok)
    {
        benchmark::RegisterBenchmark("sha512sum", sha512sum)
            ->UseManualTime()
            ->Iterations(1)
            ->Repetitions(5)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("SignatureVerifier", verifier)
            ->UseManualTime()
            ->Iterations(1)
            ->Repetitions(5)
            ->Unit(benchmark::kMillisecond);
        BestRunReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        if (const auto rates = reporter.BestRates("SignatureVerifier", "sha512sum"))
        {
            std::printf(
                "package: %.0f MiB\nbest verifier:  %.1f MiB/s, peak %.1f MiB (target < 16)\n"
                "best sha512sum: %.1f MiB/s, peak %.1f MiB\nratio: %.3f (target >= 0.9)\n",
                static_cast<double>(g_bytes) / (1 << 20), rates->ours,
                reporter.Highest("SignatureVerifier", "peak_MiB"), rates->reference,
                reporter.Highest("sha512sum", "peak_MiB"), rates->Ratio());
        }
        status = 0;
    }
    benchmark::Shutdown();
    boost::filesystem::remove_all(dir, ec);
    return status;
}
