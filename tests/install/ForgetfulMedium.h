#pragma once

// A medium that accepts every write and keeps none of it: a FUSE file system over a folder of the test's own
// (the "lower" folder) that passes everything through except the data written, so that a read from the medium
// returns what the file held before, or zeros where it grew. Mounted by the test process on a folder of its
// own, served by a thread of its own, and unmounted when the object goes.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

namespace test_support
{
class ForgetfulMedium
{
public:
    ForgetfulMedium(const std::string& lowerFolder, const std::string& mountPoint_)
        : lower(lowerFolder), mountPoint(mountPoint_)
    {
        static const fuse_operations operations = Operations();
        char program[] = "forgetful";
        char* argv[] = {program, nullptr};
        fuse_args args = FUSE_ARGS_INIT(1, argv);
        fs = fuse_new(&args, &operations, sizeof(operations), this);
        // fuse_new may have added arguments of its own.
        fuse_opt_free_args(&args);
        if (fs == nullptr)
            return;
        if (fuse_mount(fs, mountPoint.c_str()) != 0)
        {
            fuse_destroy(fs);
            fs = nullptr;
            return;
        }
        loop = std::thread([this] { fuse_loop(fs); });
    }

    ~ForgetfulMedium()
    {
        if (fs == nullptr)
            return;
        // Unmounting ends the connection, and with it the loop. Where the process may unmount the kernel's
        // way, it does so first, so that the loop ends on the closed connection before its descriptor goes.
        if (::umount2(mountPoint.c_str(), 0) == 0)
        {
            loop.join();
            fuse_unmount(fs);
        }
        else
        {
            fuse_unmount(fs);
            loop.join();
        }
        fuse_destroy(fs);
    }

    ForgetfulMedium(const ForgetfulMedium&) = delete;
    ForgetfulMedium& operator=(const ForgetfulMedium&) = delete;

    // False where FUSE is not available (no /dev/fuse, or no right to mount).
    bool Mounted() const { return fs != nullptr; }

private:
    static std::string Lower(const char* path)
    {
        return static_cast<ForgetfulMedium*>(fuse_get_context()->private_data)->lower + path;
    }
    static int Result(int rc) { return rc < 0 ? -errno : rc; }

    static fuse_operations Operations()
    {
        fuse_operations op{};
        op.init = [](fuse_conn_info*, fuse_config* config) -> void*
        {
            // Attributes are asked for every time, so that sizes come from the lower folder.
            config->attr_timeout = 0;
            config->entry_timeout = 0;
            config->negative_timeout = 0;
            return fuse_get_context()->private_data;
        };
        op.getattr = [](const char* path, struct stat* st, fuse_file_info* fi) {
            return Result(fi != nullptr ? ::fstat(static_cast<int>(fi->fh), st)
                                        : ::lstat(Lower(path).c_str(), st));
        };
        op.readlink = [](const char* path, char* buffer, size_t size)
        {
            const ssize_t n = ::readlink(Lower(path).c_str(), buffer, size - 1);
            if (n < 0)
                return -errno;
            buffer[n] = '\0';
            return 0;
        };
        op.mkdir = [](const char* path, mode_t mode) { return Result(::mkdir(Lower(path).c_str(), mode)); };
        op.unlink = [](const char* path) { return Result(::unlink(Lower(path).c_str())); };
        op.rmdir = [](const char* path) { return Result(::rmdir(Lower(path).c_str())); };
        op.symlink = [](const char* target, const char* path)
        { return Result(::symlink(target, Lower(path).c_str())); };
        op.rename = [](const char* from, const char* to, unsigned int flags)
        { return flags != 0 ? -EINVAL : Result(::rename(Lower(from).c_str(), Lower(to).c_str())); };
        op.chmod = [](const char* path, mode_t mode, fuse_file_info*)
        { return Result(::chmod(Lower(path).c_str(), mode)); };
        op.chown = [](const char* path, uid_t uid, gid_t gid, fuse_file_info*)
        { return Result(::lchown(Lower(path).c_str(), uid, gid)); };
        op.truncate = [](const char* path, off_t size, fuse_file_info* fi)
        {
            return Result(fi != nullptr ? ::ftruncate(static_cast<int>(fi->fh), size)
                                        : ::truncate(Lower(path).c_str(), size));
        };
        op.open = [](const char* path, fuse_file_info* fi)
        {
            const int fd = ::open(Lower(path).c_str(), fi->flags & ~O_NOFOLLOW);
            if (fd < 0)
                return -errno;
            fi->fh = static_cast<uint64_t>(fd);
            return 0;
        };
        op.create = [](const char* path, mode_t mode, fuse_file_info* fi)
        {
            const int fd = ::open(Lower(path).c_str(), fi->flags | O_CREAT, mode);
            if (fd < 0)
                return -errno;
            fi->fh = static_cast<uint64_t>(fd);
            return 0;
        };
        op.read = [](const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi)
        {
            return static_cast<int>(
                Result(static_cast<int>(::pread(static_cast<int>(fi->fh), buffer, size, offset))));
        };
        // Accepted and forgotten: the file only grows, with zeros.
        op.write = [](const char*, const char*, size_t size, off_t offset, fuse_file_info* fi)
        {
            struct stat st
            {
            };
            const int fd = static_cast<int>(fi->fh);
            if (::fstat(fd, &st) != 0)
                return -errno;
            const off_t end = offset + static_cast<off_t>(size);
            if (end > st.st_size && ::ftruncate(fd, end) != 0)
                return -errno;
            return static_cast<int>(size);
        };
        op.statfs = [](const char* path, struct statvfs* st)
        { return Result(::statvfs(Lower(path).c_str(), st)); };
        op.release = [](const char*, fuse_file_info* fi)
        { return Result(::close(static_cast<int>(fi->fh))); };
        op.fsync = [](const char*, int, fuse_file_info*) { return 0; };
        op.readdir = [](const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                        fuse_readdir_flags)
        {
            DIR* dir = ::opendir(Lower(path).c_str());
            if (dir == nullptr)
                return -errno;
            while (const dirent* entry = ::readdir(dir))
                fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
            ::closedir(dir);
            return 0;
        };
        op.utimens = [](const char* path, const struct timespec times[2], fuse_file_info*)
        { return Result(::utimensat(AT_FDCWD, Lower(path).c_str(), times, AT_SYMLINK_NOFOLLOW)); };
        return op;
    }

    std::string lower;
    std::string mountPoint;
    fuse* fs = nullptr;
    std::thread loop;
};

}  // namespace test_support
