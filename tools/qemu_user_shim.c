/*
 * Preloaded into our armhf programs when they run under qemu-user (cross builds only, see
 * cmake/Sandbox.cmake). Qt starts processes through a pidfd when waitid(P_PIDFD) is known to the kernel,
 * and then clones with CLONE_PIDFD, which qemu 7 refuses: every QProcess (the product id's "cat", the
 * package's scripts) would fail to start. Saying that P_PIDFD is unknown makes Qt fork as it does on the
 * instrument's kernel without pidfds.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/syscall.h>

#define SHIM_P_PIDFD 3

typedef long (*syscall_fn)(long, ...);

long syscall(long number, ...)
{
    /* Six words: the most any system call takes; the extra ones are ignored by the kernel. */
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_waitid && a[0] == SHIM_P_PIDFD)
    {
        errno = EINVAL;
        return -1;
    }
    syscall_fn real = (syscall_fn)dlsym(RTLD_NEXT, "syscall");
    if (real == NULL)
    {
        errno = ENOSYS;
        return -1;
    }
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
