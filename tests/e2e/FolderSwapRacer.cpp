// folder-swap-racer: swaps a folder with a symbolic link (renameat2 with RENAME_EXCHANGE) in a tight loop,
// the way a process on the instrument could while the installer works below that folder.
// Usage: folder-swap-racer FOLDER LINK SECONDS MAX_TRIES [UID]
//   Tries at most MAX_TRIES swaps for at most SECONDS, or until SIGTERM, as UID when given (dropped before
//   the first try). Prints "swapping" after the first swap; before it exits it swaps back when it left the
//   two exchanged, and prints the number of swaps done. Exits 0 when it swapped at least once and the folder
//   is back in place.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
volatile sig_atomic_t gStop = 0;

void Stop(int)
{
    gStop = 1;
}

bool Swap(const char* folder, const char* link)
{
    return ::renameat2(AT_FDCWD, folder, AT_FDCWD, link, RENAME_EXCHANGE) == 0;
}

bool FolderInPlace(const char* folder)
{
    struct stat st;
    return ::lstat(folder, &st) == 0 && S_ISDIR(st.st_mode);
}

bool ParseCount(const char* text, long max, long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= 0 && value <= max;
}
}  // namespace

int main(int argc, char** argv)
{
    long seconds = 0, tries = 0, uid = -1;
    if ((argc != 5 && argc != 6) || !ParseCount(argv[3], 600, seconds) ||
        !ParseCount(argv[4], 1000000000L, tries) || (argc == 6 && !ParseCount(argv[5], 65534, uid)))
    {
        std::fprintf(stderr, "Usage: folder-swap-racer FOLDER LINK SECONDS MAX_TRIES [UID]\n");
        return 2;
    }
    const char* folder = argv[1];
    const char* link = argv[2];
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = Stop;
    if (::sigaction(SIGTERM, &action, nullptr) != 0 || ::sigaction(SIGINT, &action, nullptr) != 0)
        return 2;
    if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(uid)) != 0 ||
                     ::setuid(static_cast<uid_t>(uid)) != 0))
    {
        std::perror("folder-swap-racer: cannot drop to the uid");
        return 2;
    }

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    long swaps = 0;
    for (long i = 0; i < tries && !gStop; ++i)
    {
        // The clock is read once per 256 tries: the loop stays tight.
        if ((i & 0xFF) == 0 && std::chrono::steady_clock::now() >= end)
            break;
        if (Swap(folder, link) && ++swaps == 1)
        {
            std::printf("swapping\n");
            std::fflush(stdout);
        }
    }
    // An odd count left the link where the folder was.
    if (swaps % 2 == 1 && Swap(folder, link))
        ++swaps;
    std::printf("%ld\n", swaps);
    return swaps > 0 && FolderInPlace(folder) ? 0 : 1;
}
