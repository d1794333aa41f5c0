/*
 * fault_inject.so: an LD_PRELOAD library that counts the calls which change the state of a file system and,
 * at a chosen call, kills the process or makes the call fail with a chosen errno. Preloaded into a program it
 * follows every program that program starts (the environment carries it), and all of them share one counter.
 *
 * Environment:
 *   FAULT_INJECT_STATE=FILE  the shared counter (created when missing; needed by both modes). It holds the
 *                            global call number and one count per kind, updated atomically through a shared
 *                            mapping, so the installer, its shell scripts and the tools they run count as
 * one. FAULT_INJECT_AT=N        inject at call N (1-based) of ... FAULT_INJECT_KIND=KIND   ... this kind only
 * (write, fsync, rename, unlink, mkdir, symlink, chmod, chown, utimes, close, fatattr); every kind when unset
 *   FAULT_INJECT_ACTION=A    kill (SIGKILL before the call is made), or EIO, ENOSPC, EROFS (the call is not
 *                            made and fails with that errno); kill by default
 *   FAULT_INJECT_KILL_ALL=1  with kill: SIGKILL every process that can be signalled first (kill(-1)), as a
 *                            power cut would stop them all. Only for a PID namespace of its own (the
 * sandbox). FAULT_INJECT_REPORT=FILE one line appended when the fault fires: "N KIND ACTION PID PROGRAM PATH"
 *   FAULT_INJECT_TRACE=FILE  one line appended per counted call: "N KIND PID PROGRAM PATH" (N global; PATH
 *                            is the path given or the one the descriptor leads to), to choose the points
 *
 * Without FAULT_INJECT_AT the library only counts. `fault-inject-count FILE` prints the counts.
 *
 * What is counted: calls on a path, calls on a descriptor that refers to a regular file or a directory, and
 * closes (close, fclose) of regular files open for writing.
 * Writes to pipes, sockets and terminals (standard output, the display connection) are not counted: their
 * number varies from run to run and no file system state depends on them. Calls made before the counter is
 * mapped (by the dynamic loader, or while the library maps it) are not counted either.
 */
/* Both pwrite and pwrite64 are wrapped, so the library sees the C library's own names: with 64-bit file
 * offsets forced on a 32-bit system, pwrite would be renamed to pwrite64 and the two would collide. Sizes and
 * stat results use the explicit 64-bit forms instead. */
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include "fault_inject.h"

#define FI_FAT_IOCTL_SET_ATTRIBUTES 0x40047211UL

static struct fi_counters* g_counters;
static int g_state = 0; /* 0 not set up, 1 active, -1 off */
static long long g_at;
static int g_kind = -1;
static int g_action; /* 0 kill, otherwise an errno */
static int g_kill_all;
static __thread int t_inside; /* set while the library itself works, so its own calls are not counted */

static void setup(void)
{
    if (g_state != 0)
        return;
    g_state = -1;
    const char* state = getenv("FAULT_INJECT_STATE");
    if (state == NULL || *state == '\0')
        return;
    int (*real_open)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
    if (real_open == NULL)
        return;
    t_inside = 1;
    const int fd = real_open(state, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    void* map = MAP_FAILED;
    if (fd >= 0)
    {
        /* Growing the file is harmless when another process already did: it only ever gets this size. */
        if (ftruncate(fd, (off_t)sizeof(struct fi_counters)) == 0)
            map = mmap(NULL, sizeof(struct fi_counters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        int (*real_close)(int) = (int (*)(int))dlsym(RTLD_NEXT, "close");
        if (real_close != NULL)
            real_close(fd);
    }
    t_inside = 0;
    if (map == MAP_FAILED)
        return;
    g_counters = (struct fi_counters*)map;
    const char* at = getenv("FAULT_INJECT_AT");
    g_at = at != NULL ? atoll(at) : 0;
    const char* kind = getenv("FAULT_INJECT_KIND");
    g_kind = kind != NULL && *kind != '\0' ? fi_kind_from_name(kind) : -1;
    if (kind != NULL && *kind != '\0' && g_kind < 0)
        g_at = 0; /* an unknown kind never fires rather than firing on every kind */
    const char* action = getenv("FAULT_INJECT_ACTION");
    g_action = action != NULL && *action != '\0' ? fi_action_from_name(action) : 0;
    if (g_action < 0)
        g_at = 0;
    const char* all = getenv("FAULT_INJECT_KILL_ALL");
    g_kill_all = all != NULL && strcmp(all, "1") == 0;
    g_state = 1;
}

/* Closing a descriptor changes nothing on disk unless it was open for writing. */
static int fd_counts(int kind, int fd)
{
    struct stat64 st;
    if (fstat64(fd, &st) != 0)
        return 0;
    if (kind == FI_CLOSE)
    {
        const int flags = fcntl(fd, F_GETFL);
        return S_ISREG(st.st_mode) && flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
    }
    return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
}

/* Appends one line about call `n` to the file named by the variable `variable`, if set. */
static void append_line(const char* variable, long long n, int kind, const char* path, int fd)
{
    const char* file = getenv(variable);
    if (file == NULL || *file == '\0')
        return;
    char program[256] = "?";
    int (*real_open)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
    ssize_t (*real_write)(int, const void*, size_t) =
        (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    int (*real_close)(int) = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (real_open == NULL || real_write == NULL || real_close == NULL)
        return;
    const ssize_t len = readlink("/proc/self/exe", program, sizeof program - 1);
    program[len > 0 ? len : 1] = '\0';
    char target[PATH_MAX] = "-";
    if (path == NULL && fd >= 0)
    {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t got = readlink(link, target, sizeof target - 1);
        target[got > 0 ? got : 1] = '\0';
        path = target;
    }
    char action[32] = "";
    if (strcmp(variable, "FAULT_INJECT_REPORT") == 0)
        snprintf(action, sizeof action, " %s", g_action == 0 ? "kill" : strerrorname_np(g_action));
    char line[PATH_MAX + 512];
    const int size = snprintf(line, sizeof line, "%lld %s%s %d %s %s\n", n, fi_kind_name(kind), action,
                              (int)getpid(), program, path != NULL ? path : "-");
    const int out = real_open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0)
        return;
    if (real_write(out, line, size > 0 && (size_t)size < sizeof line ? (size_t)size : 0) < 0)
    {
        /* Nothing to do: the report is a courtesy. */
    }
    real_close(out);
}

/*
 * Counts one call of `kind`. Returns 0 to let the call through, or the errno it must fail with; kills the
 * process (and with FAULT_INJECT_KILL_ALL every other one first) when that is the fault asked for.
 */
static int count_call(int kind, const char* path, int fd)
{
    if (t_inside)
        return 0;
    setup();
    if (g_state != 1)
        return 0;
    t_inside = 1;
    const long long n = __atomic_add_fetch(&g_counters->total, 1, __ATOMIC_SEQ_CST);
    const long long k = __atomic_add_fetch(&g_counters->by_kind[kind], 1, __ATOMIC_SEQ_CST);
    append_line("FAULT_INJECT_TRACE", n, kind, path, fd);
    int fail = 0;
    if (g_at > 0 && (g_kind < 0 ? n == g_at : (kind == g_kind && k == g_at)))
    {
        __atomic_store_n(&g_counters->fired, n, __ATOMIC_SEQ_CST);
        append_line("FAULT_INJECT_REPORT", g_kind < 0 ? n : k, kind, path, fd);
        if (g_action == 0)
        {
            if (g_kill_all)
                kill(-1, SIGKILL);
            raise(SIGKILL);
        }
        fail = g_action;
    }
    t_inside = 0;
    return fail;
}

static int count_fd_call(int kind, int fd)
{
    if (t_inside || g_state < 0)
        return 0;
    int saved = errno;
    const int counts = fd_counts(kind, fd);
    errno = saved;
    return counts ? count_call(kind, NULL, fd) : 0;
}

#define REAL(name, type) ((type)dlsym(RTLD_NEXT, #name))

#define FAIL_WITH(e, value) \
    do                      \
    {                       \
        errno = (e);        \
        return (value);     \
    } while (0)

ssize_t write(int fd, const void* buf, size_t count)
{
    const int e = count_fd_call(FI_WRITE, fd);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(write, ssize_t(*)(int, const void*, size_t))(fd, buf, count);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    const int e = count_fd_call(FI_WRITE, fd);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(pwrite, ssize_t(*)(int, const void*, size_t, off_t))(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off64_t offset)
{
    const int e = count_fd_call(FI_WRITE, fd);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(pwrite64, ssize_t(*)(int, const void*, size_t, off64_t))(fd, buf, count, offset);
}

ssize_t writev(int fd, const struct iovec* iov, int iovcnt)
{
    const int e = count_fd_call(FI_WRITE, fd);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(writev, ssize_t(*)(int, const struct iovec*, int))(fd, iov, iovcnt);
}

int fsync(int fd)
{
    const int e = count_fd_call(FI_FSYNC, fd);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(fsync, int (*)(int))(fd);
}

int fdatasync(int fd)
{
    const int e = count_fd_call(FI_FSYNC, fd);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(fdatasync, int (*)(int))(fd);
}

int syncfs(int fd)
{
    const int e = count_fd_call(FI_FSYNC, fd);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(syncfs, int (*)(int))(fd);
}

int rename(const char* from, const char* to)
{
    const int e = count_call(FI_RENAME, to, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(rename, int (*)(const char*, const char*))(from, to);
}

int renameat(int fromdir, const char* from, int todir, const char* to)
{
    const int e = count_call(FI_RENAME, to, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(renameat, int (*)(int, const char*, int, const char*))(fromdir, from, todir, to);
}

int renameat2(int fromdir, const char* from, int todir, const char* to, unsigned int flags)
{
    const int e = count_call(FI_RENAME, to, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(renameat2, int (*)(int, const char*, int, const char*, unsigned int))(fromdir, from, todir,
                                                                                      to, flags);
}

int unlink(const char* path)
{
    const int e = count_call(FI_UNLINK, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(unlink, int (*)(const char*))(path);
}

int unlinkat(int dir, const char* path, int flags)
{
    const int e = count_call(FI_UNLINK, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(unlinkat, int (*)(int, const char*, int))(dir, path, flags);
}

int rmdir(const char* path)
{
    const int e = count_call(FI_UNLINK, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(rmdir, int (*)(const char*))(path);
}

int remove(const char* path)
{
    /* glibc's remove calls unlink and rmdir internally, which are not interposed from inside libc. */
    const int e = count_call(FI_UNLINK, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(remove, int (*)(const char*))(path);
}

int mkdir(const char* path, mode_t mode)
{
    const int e = count_call(FI_MKDIR, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(mkdir, int (*)(const char*, mode_t))(path, mode);
}

int mkdirat(int dir, const char* path, mode_t mode)
{
    const int e = count_call(FI_MKDIR, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(mkdirat, int (*)(int, const char*, mode_t))(dir, path, mode);
}

int symlink(const char* target, const char* path)
{
    const int e = count_call(FI_SYMLINK, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(symlink, int (*)(const char*, const char*))(target, path);
}

int symlinkat(const char* target, int dir, const char* path)
{
    const int e = count_call(FI_SYMLINK, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(symlinkat, int (*)(const char*, int, const char*))(target, dir, path);
}

int chmod(const char* path, mode_t mode)
{
    const int e = count_call(FI_CHMOD, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(chmod, int (*)(const char*, mode_t))(path, mode);
}

int fchmod(int fd, mode_t mode)
{
    const int e = count_fd_call(FI_CHMOD, fd);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(fchmod, int (*)(int, mode_t))(fd, mode);
}

int fchmodat(int dir, const char* path, mode_t mode, int flags)
{
    const int e = count_call(FI_CHMOD, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(fchmodat, int (*)(int, const char*, mode_t, int))(dir, path, mode, flags);
}

int chown(const char* path, uid_t uid, gid_t gid)
{
    const int e = count_call(FI_CHOWN, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(chown, int (*)(const char*, uid_t, gid_t))(path, uid, gid);
}

int lchown(const char* path, uid_t uid, gid_t gid)
{
    const int e = count_call(FI_CHOWN, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(lchown, int (*)(const char*, uid_t, gid_t))(path, uid, gid);
}

int fchown(int fd, uid_t uid, gid_t gid)
{
    const int e = count_fd_call(FI_CHOWN, fd);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(fchown, int (*)(int, uid_t, gid_t))(fd, uid, gid);
}

int fchownat(int dir, const char* path, uid_t uid, gid_t gid, int flags)
{
    const int e = count_call(FI_CHOWN, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(fchownat, int (*)(int, const char*, uid_t, gid_t, int))(dir, path, uid, gid, flags);
}

int utimes(const char* path, const struct timeval times[2])
{
    const int e = count_call(FI_UTIMES, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(utimes, int (*)(const char*, const struct timeval*))(path, times);
}

int lutimes(const char* path, const struct timeval times[2])
{
    const int e = count_call(FI_UTIMES, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(lutimes, int (*)(const char*, const struct timeval*))(path, times);
}

int utime(const char* path, const void* times)
{
    const int e = count_call(FI_UTIMES, path, -1);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(utime, int (*)(const char*, const void*))(path, times);
}

/* A NULL path stamps the descriptor itself (futimens), although glibc declares the path non-null. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnonnull-compare"
int utimensat(int dir, const char* path, const struct timespec times[2], int flags)
{
    const int e = path != NULL ? count_call(FI_UTIMES, path, -1) : count_fd_call(FI_UTIMES, dir);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(utimensat, int (*)(int, const char*, const struct timespec*, int))(dir, path, times, flags);
}
#pragma GCC diagnostic pop

int futimens(int fd, const struct timespec times[2])
{
    const int e = count_fd_call(FI_UTIMES, fd);
    if (e)
        FAIL_WITH(e, -1);
    return REAL(futimens, int (*)(int, const struct timespec*))(fd, times);
}

int close(int fd)
{
    const int e = count_fd_call(FI_CLOSE, fd);
    if (e)
    {
        /* Like the kernel, the descriptor is gone even when close reports an error. */
        REAL(close, int (*)(int))(fd);
        FAIL_WITH(e, -1);
    }
    return REAL(close, int (*)(int))(fd);
}

/*
 * glibc's stdio writes and closes through its own internal calls, which no preloaded library sees: the
 * stream functions are counted themselves, one call each (a failing one leaves the stream's data unwritten).
 */
static int stream_counts(FILE* stream)
{
    return stream != NULL ? fileno(stream) : -1;
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream)
{
    const int fd = stream_counts(stream);
    const int e = fd >= 0 && size != 0 && count != 0 ? count_fd_call(FI_WRITE, fd) : 0;
    if (e)
        FAIL_WITH(e, 0);
    return REAL(fwrite, size_t(*)(const void*, size_t, size_t, FILE*))(data, size, count, stream);
}

int fflush(FILE* stream)
{
    const int fd = stream_counts(stream);
    const int e = fd >= 0 ? count_fd_call(FI_WRITE, fd) : 0;
    if (e)
        FAIL_WITH(e, EOF);
    return REAL(fflush, int (*)(FILE*))(stream);
}

int fclose(FILE* stream)
{
    const int fd = stream_counts(stream);
    const int e = fd >= 0 ? count_fd_call(FI_CLOSE, fd) : 0;
    const int result = REAL(fclose, int (*)(FILE*))(stream);
    if (e)
        FAIL_WITH(e, EOF);
    return result;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (request == FI_FAT_IOCTL_SET_ATTRIBUTES)
    {
        const int e = count_fd_call(FI_FATATTR, fd);
        if (e)
            FAIL_WITH(e, -1);
    }
    return REAL(ioctl, int (*)(int, unsigned long, ...))(fd, request, arg);
}
