// Sonoprobe on a 256 MiB sound-data file whose wave is found only in its last child, against
// `cat FILE > /dev/null` on the same file in the same run. Targets: at most 1.5 x the time of cat, and a peak
// resident size of at most the file size + the first data child's payload + 1 MiB. Both programs run as
// child processes; the figures are printed at the end.
#include "pcm/CChunk.h"
#include "pcm/CMemoryChunk.h"
#include "pcm/RecordList.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace pcm;

namespace
{
constexpr size_t kFileTarget = 256u << 20;
constexpr size_t kFillerPayload = 1u << 20;
constexpr uint32_t kRecordListId = 0x18000010;  // compact records
constexpr uint32_t kFillerId = 0x18000020;      // plain data
constexpr uint32_t kWaveContainerId = 0x10000212;
constexpr uint32_t kWaveChunkId = 0x18000001;

std::string gDirectory;
std::string gFile;
std::string gSonoprobe;
size_t gFileSize = 0;
size_t gFirstPayload = 0;

struct ChildRun
{
    double seconds = 0;
    long maxRssKiB = 0;
    int status = -1;
    std::string out;
};

// Runs a program with its standard output captured (or discarded) and reports its wall time and peak RSS.
ChildRun runChild(const std::vector<std::string>& argv, bool captureOutput)
{
    ChildRun run;
    int pipeFds[2] = {-1, -1};
    if (captureOutput && pipe(pipeFds) != 0)
        return run;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0)
    {
        const int out = captureOutput ? pipeFds[1] : open("/dev/null", O_WRONLY);
        dup2(out, STDOUT_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (captureOutput)
    {
        close(pipeFds[1]);
        char buffer[256];
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
            run.out.append(buffer, static_cast<size_t>(n));
        close(pipeFds[0]);
    }
    int status = 0;
    struct rusage usage = {};
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid)
    {
        run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        run.maxRssKiB = usage.ru_maxrss;
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return run;
}

bool writeFile()
{
    CMemoryChunk root("benchmark", {0, 0, 0, 0}, true);
    std::vector<SoundRecord> records;
    for (int i = 0; i < 100; ++i)
    {
        SoundRecord record(0, 0);
        record.name = "take " + std::to_string(i);
        record.primaryBytes = {1, 2, 3};
        record.secondaryBytes = {0, 0};
        records.push_back(record);
    }
    std::vector<uint8_t> list;
    RecordList::encode(records, list);
    gFirstPayload = list.size();
    CChunk* child = nullptr;
    root.createChild(kRecordListId, child);
    child->writeBytes(list.data(), list.size());
    root.releaseChild(child);

    const std::vector<uint8_t> filler(kFillerPayload, 0x5A);
    const size_t fillers = kFileTarget / (kFillerPayload + 8) - 1;
    for (size_t i = 0; i < fillers; ++i)
    {
        root.createChild(kFillerId, child);
        child->writeBytes(filler.data(), filler.size());
        root.releaseChild(child);
    }
    root.createChild(kWaveContainerId, child);
    CChunk* wave = nullptr;
    child->createChild(kWaveChunkId, wave);
    wave->writeU32(0x12345678u);
    child->releaseChild(wave);
    root.releaseChild(child);
    if (root.finishPayload() != 1)
        return false;

    const CMemory& memory = root.memory();
    gFileSize = memory.length();
    std::FILE* file = std::fopen(gFile.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(memory.data(), 1, memory.length(), file) == memory.length();
    return std::fclose(file) == 0 && written;
}

double gCatSeconds = 0;
double gProbeSeconds = 0;
long gPeakKiB = 0;

void BM_Cat(benchmark::State& state)
{
    double total = 0;
    for (auto _ : state)
    {
        const ChildRun run = runChild({"/bin/cat", gFile}, false);
        state.SetIterationTime(run.seconds);
        total += run.seconds;
    }
    gCatSeconds = total / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * gFileSize));
}

void BM_Sonoprobe(benchmark::State& state)
{
    double total = 0;
    long peak = 0;
    for (auto _ : state)
    {
        const ChildRun run = runChild({gSonoprobe, gFile}, false);
        if (run.status != 0)
        {
            state.SkipWithError("Sonoprobe failed");
            return;
        }
        state.SetIterationTime(run.seconds);
        total += run.seconds;
        peak = std::max(peak, run.maxRssKiB);
    }
    gProbeSeconds = total / static_cast<double>(state.iterations());
    gPeakKiB = peak;
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024.0;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * gFileSize));
}

BENCHMARK(BM_Cat)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Sonoprobe)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

std::string sonoprobePath()
{
    if (const char* given = std::getenv("SONOPROBE"))
        return given;
    // The benchmark lives in <build>/bench, the program in <build>/pcm.
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    path = path.substr(0, path.rfind('/'));
    return path.substr(0, path.rfind('/')) + "/pcm/Sonoprobe";
}
}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    gSonoprobe = sonoprobePath();
    if (access(gSonoprobe.c_str(), X_OK) != 0)
    {
        std::fprintf(stderr, "Sonoprobe not found at %s (set SONOPROBE)\n", gSonoprobe.c_str());
        return 1;
    }
    char pattern[] = "/tmp/bench-pcm-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    gDirectory = pattern;
    gFile = gDirectory + "/large.PCM";
    int status = 1;
    if (writeFile())
    {
        // Warm the page cache, and check the verdict once.
        runChild({"/bin/cat", gFile}, false);
        const ChildRun check = runChild({gSonoprobe, gFile}, true);
        if (check.out != "Sonoprobe: wave found\n")
        {
            std::fprintf(stderr, "unexpected verdict: %s", check.out.c_str());
        }
        else
        {
            benchmark::RunSpecifiedBenchmarks();
            const double limitMiB = static_cast<double>(gFileSize + gFirstPayload + (1u << 20)) / 1048576.0;
            std::printf("file %.1f MiB; Sonoprobe %.1f ms, cat %.1f ms: %.2f x (target <= 1.5)\n",
                        static_cast<double>(gFileSize) / 1048576.0, gProbeSeconds * 1e3, gCatSeconds * 1e3,
                        gCatSeconds > 0 ? gProbeSeconds / gCatSeconds : 0.0);
            std::printf("peak RSS %.1f MiB, limit %.1f MiB (file + first data payload + 1 MiB)\n",
                        static_cast<double>(gPeakKiB) / 1024.0, limitMiB);
            status = 0;
        }
    }
    std::remove(gFile.c_str());
    rmdir(gDirectory.c_str());
    benchmark::Shutdown();
    return status;
}
