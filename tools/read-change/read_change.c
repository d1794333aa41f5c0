/*
 * read_change.so: an LD_PRELOAD library that makes one file look as if the medium holding it served other
 * bytes from a given read on: the first reads of a range deliver what the file holds, a later one and every
 * read after it deliver the replacement. The file itself never changes (its size and modification time stay
 * as they were), so only a reader that checks every byte as it reads it can tell.
 *
 * Environment (nothing happens without READ_CHANGE_PATH):
 *   READ_CHANGE_PATH=FILE    the file whose reads are changed (matched by device and inode, so any name or
 *                            descriptor of it counts)
 *   READ_CHANGE_OFFSET=N     where the range starts in the file
 *   READ_CHANGE_DATA=TEXT    what the range holds from the changing read on; its length is the range's
 *   READ_CHANGE_FROM=K       the K-th read that touches the range (1-based, counted per process) is the first
 *                            changed one; 2 by default
 *   READ_CHANGE_TRACE=FILE   one line appended per read that touches the range:
 *                            "K signed|changed PID FILE_OFFSET LENGTH", so a test can tell the change was
 * served
 *
 * Wrapped: fread (the installer reads its package through stdio), read, pread and pread64.
 */
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static int g_state = 0; /* 0 not set up, 1 active, -1 off */
static dev_t g_dev;
static ino_t g_ino;
static long long g_offset;
static const char* g_data;
static long long g_length;
static long g_from = 2;
static const char* g_trace;
static long g_reads;

static void setup(void)
{
    if (g_state != 0)
        return;
    g_state = -1;
    const char* path = getenv("READ_CHANGE_PATH");
    const char* offset = getenv("READ_CHANGE_OFFSET");
    const char* data = getenv("READ_CHANGE_DATA");
    const char* from = getenv("READ_CHANGE_FROM");
    struct stat64 status;
    if (path == NULL || offset == NULL || data == NULL || *data == '\0' || stat64(path, &status) != 0)
        return;
    g_dev = status.st_dev;
    g_ino = status.st_ino;
    g_offset = atoll(offset);
    g_data = data;
    g_length = (long long)strlen(data);
    if (from != NULL && atol(from) > 0)
        g_from = atol(from);
    g_trace = getenv("READ_CHANGE_TRACE");
    g_state = 1;
}

static int is_target(int fd)
{
    struct stat64 status;
    return fd >= 0 && fstat64(fd, &status) == 0 && status.st_dev == g_dev && status.st_ino == g_ino;
}

/* `got` bytes were read into `buffer` from file offset `at`: counts the read if it touches the range and,
 * from the chosen read on, puts the replacement where the range lies. */
static void apply(void* buffer, long long at, long long got)
{
    if (got <= 0 || at < 0)
        return;
    const long long start = at > g_offset ? at : g_offset;
    const long long end = at + got < g_offset + g_length ? at + got : g_offset + g_length;
    if (start >= end)
        return;
    const long count = __atomic_add_fetch(&g_reads, 1, __ATOMIC_SEQ_CST);
    const int change = count >= g_from;
    if (change)
        memcpy((char*)buffer + (start - at), g_data + (start - g_offset), (size_t)(end - start));
    if (g_trace != NULL)
    {
        const int fd = open(g_trace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
        {
            dprintf(fd, "%ld %s %ld %lld %lld\n", count, change ? "changed" : "signed", (long)getpid(), at,
                    got);
            close(fd);
        }
    }
}

size_t fread(void* buffer, size_t size, size_t count, FILE* stream)
{
    static size_t (*real)(void*, size_t, size_t, FILE*);
    if (real == NULL)
        real = (size_t(*)(void*, size_t, size_t, FILE*))dlsym(RTLD_NEXT, "fread");
    setup();
    const int watched = g_state == 1 && stream != NULL && is_target(fileno(stream));
    const long long at = watched ? (long long)ftello64(stream) : -1;
    const size_t items = real(buffer, size, count, stream);
    if (watched)
        apply(buffer, at, (long long)(items * size));
    return items;
}

ssize_t read(int fd, void* buffer, size_t length)
{
    static ssize_t (*real)(int, void*, size_t);
    if (real == NULL)
        real = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    setup();
    const int watched = g_state == 1 && is_target(fd);
    const long long at = watched ? (long long)lseek64(fd, 0, SEEK_CUR) : -1;
    const ssize_t got = real(fd, buffer, length);
    if (watched)
        apply(buffer, at, (long long)got);
    return got;
}

ssize_t pread64(int fd, void* buffer, size_t length, off64_t offset)
{
    static ssize_t (*real)(int, void*, size_t, off64_t);
    if (real == NULL)
        real = (ssize_t(*)(int, void*, size_t, off64_t))dlsym(RTLD_NEXT, "pread64");
    setup();
    const ssize_t got = real(fd, buffer, length, offset);
    if (g_state == 1 && is_target(fd))
        apply(buffer, (long long)offset, (long long)got);
    return got;
}

ssize_t pread(int fd, void* buffer, size_t length, off_t offset)
{
    return pread64(fd, buffer, length, (off64_t)offset);
}
