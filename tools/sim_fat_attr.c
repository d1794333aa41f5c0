/*
 * LD_PRELOAD library of the sandboxed instrument: the FAT attribute ioctls on partitions that are vfat on the
 * instrument but ext3 in the sandbox (the development kernel has no vfat driver).
 *
 * The attribute word is kept in the extended attribute "user.fat_attributes" (text, "0x%02x"). The emulation
 * follows what the vfat driver does, so that code written against the instrument sees the same results:
 *   - a directory always reports ATTR_DIR, and a file never does;
 *   - a file's read-only bit is its mode: setting it clears the write bits, clearing it gives the owner write
 *     access back; reading it reports read-only when no write bit is set;
 *   - a directory keeps its read-only bit as a stored flag and its mode is left alone;
 *   - a file that was never given attributes reports ATTR_ARCH, as a freshly created vfat file does;
 *   - the partition's root directory accepts nothing but ATTR_DIR (EINVAL otherwise);
 *   - a partition mounted read-only refuses the change (EROFS).
 *
 * Which directories are "vfat" comes from INSTRUMENT_SIM_FAT_PATHS, a colon-separated list of mount points
 * (the sandbox sets it). A descriptor is emulated only while its mount point is really mounted and the file
 * lies on that mount; every other ioctl, and these two anywhere else, go to the real ioctl, so an ext3 path
 * answers ENOTTY exactly as it would on the instrument's root file system.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#define SIM_FAT_IOCTL_GET_ATTRIBUTES 0x80047210UL
#define SIM_FAT_IOCTL_SET_ATTRIBUTES 0x40047211UL

#define SIM_ATTR_RO 0x01u
#define SIM_ATTR_HIDDEN 0x02u
#define SIM_ATTR_SYS 0x04u
#define SIM_ATTR_VOLUME 0x08u
#define SIM_ATTR_DIR 0x10u
#define SIM_ATTR_ARCH 0x20u
/* The bits the vfat driver keeps besides those it derives from the mode and the file type. */
#define SIM_ATTR_KEPT (SIM_ATTR_VOLUME | SIM_ATTR_ARCH | SIM_ATTR_SYS | SIM_ATTR_HIDDEN)

static const char kXattrName[] = "user.fat_attributes";

typedef int (*ioctl_fn)(int, unsigned long, ...);

static int call_real_ioctl(int fd, unsigned long request, void* arg)
{
    /* Resolved on every call rather than cached: this is not a hot path, and a cache would need a lock. */
    ioctl_fn real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    if (real == NULL)
    {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, arg);
}

/* Whether `dir` is a mount point: a different device than its parent's. */
static int is_mount_point(const char* dir, dev_t* dev)
{
    struct stat self;
    struct stat parent;
    char up[PATH_MAX];
    if (snprintf(up, sizeof up, "%s/..", dir) >= (int)sizeof up)
        return 0;
    if (stat(dir, &self) != 0 || stat(up, &parent) != 0)
        return 0;
    *dev = self.st_dev;
    return self.st_dev != parent.st_dev;
}

/*
 * Finds the vfat mount point that holds the open file `fd`. Returns 1 and sets *is_root when the descriptor
 * is the mount point itself; 0 when the file is not on an emulated partition.
 */
static int on_fat_partition(int fd, const struct stat* st, int* is_root)
{
    const char* list = getenv("INSTRUMENT_SIM_FAT_PATHS");
    if (list == NULL || *list == '\0')
        return 0;

    char link[64];
    char path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0)
        return 0;
    path[n] = '\0';

    const char* p = list;
    while (*p != '\0')
    {
        const char* end = strchr(p, ':');
        size_t len = end != NULL ? (size_t)(end - p) : strlen(p);
        while (len > 1 && p[len - 1] == '/') --len;
        char mount[PATH_MAX];
        if (len > 0 && len < sizeof mount && strncmp(path, p, len) == 0 &&
            (path[len] == '\0' || path[len] == '/'))
        {
            memcpy(mount, p, len);
            mount[len] = '\0';
            dev_t dev;
            if (is_mount_point(mount, &dev) && dev == st->st_dev)
            {
                *is_root = path[len] == '\0';
                return 1;
            }
        }
        if (end == NULL)
            break;
        p = end + 1;
    }
    return 0;
}

static int read_stored(int fd, int is_dir, uint32_t* stored)
{
    char text[32];
    ssize_t n = fgetxattr(fd, kXattrName, text, sizeof text - 1);
    if (n < 0)
    {
        if (errno != ENODATA)
            return -1;
        *stored = is_dir ? 0u : SIM_ATTR_ARCH;
        return 0;
    }
    text[n] = '\0';
    *stored = (uint32_t)strtoul(text, NULL, 0);
    return 0;
}

static int get_attributes(int fd, const struct stat* st, uint32_t* out)
{
    if (out == NULL)
    {
        errno = EFAULT;
        return -1;
    }
    int is_dir = S_ISDIR(st->st_mode);
    uint32_t attrs;
    if (read_stored(fd, is_dir, &attrs) != 0)
        return -1;
    if (is_dir)
        attrs |= SIM_ATTR_DIR;
    else if ((st->st_mode & 0222) == 0)
        attrs |= SIM_ATTR_RO;
    *out = attrs;
    return 0;
}

static int set_attributes(int fd, const struct stat* st, int is_root, const uint32_t* in)
{
    if (in == NULL)
    {
        errno = EFAULT;
        return -1;
    }
    int is_dir = S_ISDIR(st->st_mode);
    uint32_t attr = *in;
    attr = is_dir ? (attr | SIM_ATTR_DIR) : (attr & ~SIM_ATTR_DIR);

    struct statvfs vfs;
    if (fstatvfs(fd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0)
    {
        errno = EROFS;
        return -1;
    }
    if (geteuid() != 0 && geteuid() != st->st_uid)
    {
        errno = EPERM;
        return -1;
    }
    if (is_root && attr != SIM_ATTR_DIR)
    {
        errno = EINVAL;
        return -1;
    }

    uint32_t previous;
    if (read_stored(fd, is_dir, &previous) != 0)
        return -1;
    /* The volume-label bit belongs to the file system, not to the caller. */
    attr = (attr & ~SIM_ATTR_VOLUME) | (previous & SIM_ATTR_VOLUME);

    uint32_t stored;
    if (is_dir)
    {
        stored = attr & (SIM_ATTR_KEPT | SIM_ATTR_RO);
    }
    else
    {
        stored = attr & SIM_ATTR_KEPT;
        mode_t mode = st->st_mode & 07777;
        mode_t wanted = (attr & SIM_ATTR_RO) != 0 ? (mode & ~(mode_t)0222) : (mode | 0200);
        if (wanted != mode && fchmod(fd, wanted) != 0)
            return -1;
    }

    char text[16];
    int len = snprintf(text, sizeof text, "0x%02x", stored);
    return fsetxattr(fd, kXattrName, text, (size_t)len, 0);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    if (request != SIM_FAT_IOCTL_GET_ATTRIBUTES && request != SIM_FAT_IOCTL_SET_ATTRIBUTES)
        return call_real_ioctl(fd, request, arg);

    struct stat st;
    int is_root = 0;
    int saved = errno;
    if (fstat(fd, &st) != 0 || !on_fat_partition(fd, &st, &is_root))
    {
        errno = saved;
        const int result = call_real_ioctl(fd, request, arg);
        /* Under qemu-user (the armhf build's tests) an ioctl the emulator does not know fails with ENOSYS
         * before it reaches the kernel, which would answer ENOTTY for a file system without FAT attributes.
         */
        if (result != 0 && errno == ENOSYS)
            errno = ENOTTY;
        return result;
    }
    if (request == SIM_FAT_IOCTL_GET_ATTRIBUTES)
        return get_attributes(fd, &st, (uint32_t*)arg);
    return set_attributes(fd, &st, is_root, (const uint32_t*)arg);
}
