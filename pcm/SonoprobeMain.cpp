#include "pcm/WaveFinder.h"

#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace
{
// The file is mapped: should it shrink while it is being searched, the lost pages raise SIGBUS. That is an
// unreadable file, reported as such instead of a crash.
extern "C" void onBusError(int)
{
    static const char line[] = "Sonoprobe: error\n";
    const ssize_t written = write(STDOUT_FILENO, line, sizeof line - 1);
    static_cast<void>(written);
    _exit(1);
}
}  // namespace

// Sonoprobe: tells whether a sound-data file holds a wave. Everything goes to standard output; the exit
// status is 1 only for an error.
int main(int argc, char** argv)
{
    if (argc <= 1)
    {
        std::fputs("Usage:\n- Sonoprobe -v\n- Sonoprobe <file.PCM>\n", stdout);
        return 0;
    }
    if (argc > 2)
    {
        std::fputs(pcm::WaveVerdictLine(pcm::WaveVerdict::Error), stdout);
        return 1;
    }
    if (std::strcmp(argv[1], "-v") == 0)
    {
        std::fputs("Sonoprobe: v1.0\n", stdout);
        return 0;
    }
    std::signal(SIGBUS, onBusError);
    const pcm::WaveVerdict verdict = pcm::FindWave(argv[1]);
    std::fputs(pcm::WaveVerdictLine(verdict), stdout);
    return verdict == pcm::WaveVerdict::Error ? 1 : 0;
}
