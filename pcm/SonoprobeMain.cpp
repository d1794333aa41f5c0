#include "WaveTest.h"

#include <cstdio>
#include <cstring>

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
        std::fputs(WaveVerdictLine(WaveVerdict::Error), stdout);
        return 1;
    }
    if (std::strcmp(argv[1], "-v") == 0)
    {
        std::fputs("Sonoprobe: v1.0\n", stdout);
        return 0;
    }
    const WaveVerdict verdict = WaveTest(argv[1]);
    std::fputs(WaveVerdictLine(verdict), stdout);
    return verdict == WaveVerdict::Error ? 1 : 0;
}
