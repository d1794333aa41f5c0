// Runs inside the sandboxed instrument (never on the host): checks that the sandbox looks like the instrument
// to a program, with the setup given in tests/tools/CMakeLists.txt: update read-write, kernel not mounted,
// the other partitions read-only, product id 5, a parameter block with flags 1, package /emmc/update/a.pkg
// and log name 007_error.log.
#include "base/UniqueFd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace vex::base;

namespace
{

constexpr unsigned long kGetAttributes = 0x80047210UL;
constexpr unsigned long kSetAttributes = 0x40047211UL;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

// The mount options of `mountPoint` from the mount table ("" when not mounted).
std::string MountOptions(const std::string& mountPoint)
{
    std::istringstream table(ReadFile("/proc/self/mounts"));
    std::string device, point, type, options, rest;
    std::string found;
    while (table >> device >> point >> type >> options && std::getline(table, rest))
    {
        if (point == mountPoint)
            found = type + " " + options.substr(0, 2);
    }
    return found;
}

int Shell(const std::string& command)
{
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Sets the FAT attribute word of `path` as the installer does (opened read-only); returns errno or 0.
int SetAttributes(const std::string& path, std::uint32_t word)
{
    UniqueFd file(::open(path.c_str(), O_RDONLY));
    if (file.get() < 0)
        return errno;
    return ::ioctl(file.get(), kSetAttributes, &word) == 0 ? 0 : errno;
}

int GetAttributes(const std::string& path, std::uint32_t& word)
{
    UniqueFd file(::open(path.c_str(), O_RDONLY));
    if (file.get() < 0)
        return errno;
    return ::ioctl(file.get(), kGetAttributes, &word) == 0 ? 0 : errno;
}

struct PartitionState
{
    const char* mountPoint;
    const char* expected;  // type and first two letters of the options, "" when not mounted
};

class StartingMounts : public ::testing::TestWithParam<PartitionState>
{
};

TEST_P(StartingMounts, MatchTheRequestedSetup)
{
    EXPECT_EQ(MountOptions(GetParam().mountPoint), GetParam().expected);
    // Every mount point exists, mounted or not, and is named in fstab, so that "mount -w <point>" works.
    EXPECT_EQ(::access(GetParam().mountPoint, F_OK), 0);
    EXPECT_NE(ReadFile("/etc/fstab").find(std::string(GetParam().mountPoint) + "\text3"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Sandbox, StartingMounts,
    ::testing::Values(PartitionState{"/emmc/boot", "ext3 ro"}, PartitionState{"/emmc/service", "ext3 ro"},
                      PartitionState{"/emmc/update", "ext3 rw"}, PartitionState{"/emmc/kernel", ""},
                      PartitionState{"/emmc/rootfs", "ext3 ro"}, PartitionState{"/emmc/kelda_sys", "ext3 ro"},
                      PartitionState{"/emmc/kelda_usr", "ext3 ro"},
                      PartitionState{"/emmc/vdl_pcm", "ext3 ro"},
                      PartitionState{"/emmc/bkp_pcm", "ext3 ro"}));

TEST(SandboxMounts, RemountKeepsContentAndHonoursTheMode)
{
    ASSERT_TRUE(WriteFile("/emmc/update/remount.txt", "kept"));
    ASSERT_EQ(Shell("umount /emmc/update"), 0);
    EXPECT_EQ(MountOptions("/emmc/update"), "");
    EXPECT_NE(::access("/emmc/update/remount.txt", F_OK), 0);

    ASSERT_EQ(Shell("mount -r /emmc/update"), 0);
    EXPECT_EQ(MountOptions("/emmc/update"), "ext3 ro");
    EXPECT_EQ(ReadFile("/emmc/update/remount.txt"), "kept");
    errno = 0;
    EXPECT_LT(::open("/emmc/update/refused.txt", O_WRONLY | O_CREAT, 0644), 0);
    EXPECT_EQ(errno, EROFS);

    ASSERT_EQ(Shell("umount /emmc/update"), 0);
    ASSERT_EQ(Shell("mount -w /emmc/update"), 0);
    EXPECT_EQ(MountOptions("/emmc/update"), "ext3 rw");
    EXPECT_TRUE(WriteFile("/emmc/update/remount.txt", "rewritten"));
    EXPECT_EQ(ReadFile("/emmc/update/remount.txt"), "rewritten");
}

TEST(SandboxMounts, UnmountedPartitionMountsFromFstabAndReportsRwAsTheInstallerReadsIt)
{
    ASSERT_EQ(Shell("mount -w /emmc/kernel"), 0);
    // The installer runs "mount" into a file and looks for "rw" anywhere in the line naming the mount point.
    EXPECT_EQ(std::system("mount > /tmp/mount.out"), 0);
    const std::string table = ReadFile("/tmp/mount.out");
    const auto line = table.find("/emmc/kernel");
    EXPECT_NE(line, std::string::npos);
    if (line != std::string::npos)
    {
        EXPECT_NE(table.substr(line, table.find('\n', line) - line).find("rw"), std::string::npos);
    }
    EXPECT_EQ(Shell("umount /emmc/kernel"), 0);
    EXPECT_EQ(MountOptions("/emmc/kernel"), "");
}

TEST(SandboxMounts, HostTreesAreReadOnly)
{
    errno = 0;
    EXPECT_LT(::open("/usr/sandbox-write-test", O_WRONLY | O_CREAT, 0644), 0);
    EXPECT_EQ(errno, EROFS);
    errno = 0;
    EXPECT_LT(::open("/sys/sandbox-write-test", O_WRONLY | O_CREAT, 0644), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_TRUE(WriteFile("/tmp/scratch", "tmp is writable"));
}

class FatAttributes : public ::testing::TestWithParam<std::uint32_t>
{
};

TEST_P(FatAttributes, RoundTripOnAFile)
{
    const std::string path = "/emmc/update/attr-" + std::to_string(GetParam());
    ASSERT_TRUE(WriteFile(path, "x"));
    ASSERT_EQ(SetAttributes(path, GetParam()), 0);
    std::uint32_t word = 0xdead;
    ASSERT_EQ(GetAttributes(path, word), 0);
    EXPECT_EQ(word, GetParam());
    // The read-only bit is the file's write permission, as on vfat.
    struct stat st = {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ((st.st_mode & 0222) == 0, (GetParam() & 0x01) != 0);
}

// Read-only, hidden, system, archive, and the installer's combinations.
INSTANTIATE_TEST_SUITE_P(Sandbox, FatAttributes,
                         ::testing::Values(0x00u, 0x01u, 0x02u, 0x03u, 0x04u, 0x20u, 0x27u));

TEST(FatAttributeEmulation, FollowsTheVfatRules)
{
    ASSERT_TRUE(WriteFile("/emmc/update/fresh", "x"));
    std::uint32_t word = 0;
    ASSERT_EQ(GetAttributes("/emmc/update/fresh", word), 0);
    EXPECT_EQ(word, 0x20u) << "a new vfat file has the archive bit";
    ASSERT_EQ(::mkdir("/emmc/update/dir", 0755), 0);
    ASSERT_EQ(SetAttributes("/emmc/update/dir", 0x02), 0);
    ASSERT_EQ(GetAttributes("/emmc/update/dir", word), 0);
    EXPECT_EQ(word, 0x12u) << "a directory always reports the directory bit";

    // Clearing read-only gives write access back.
    ASSERT_EQ(SetAttributes("/emmc/update/fresh", 0x01), 0);
    ASSERT_EQ(SetAttributes("/emmc/update/fresh", 0x00), 0);
    EXPECT_EQ(::access("/emmc/update/fresh", W_OK), 0);

    EXPECT_EQ(SetAttributes("/emmc/update", 0x20), EINVAL) << "the root directory takes no attributes";
    EXPECT_EQ(SetAttributes("/emmc/update", 0x00), 0);
    EXPECT_EQ(SetAttributes("/emmc/boot", 0x00), EROFS) << "boot is mounted read-only";
    EXPECT_EQ(SetAttributes("/emmc/rootfs", 0x00), ENOTTY) << "rootfs is ext3 on the instrument";
    EXPECT_EQ(SetAttributes("/tmp", 0x00), ENOTTY);

    UniqueFd file(::open("/emmc/update/fresh", O_RDONLY));
    ASSERT_GE(file.get(), 0);
    EXPECT_EQ(::ioctl(file.get(), kSetAttributes, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
}

TEST(FatAttributeEmulation, WordSurvivesARemountAndOtherIoctlsPassThrough)
{
    ASSERT_TRUE(WriteFile("/emmc/update/kept-attr", "x"));
    ASSERT_EQ(SetAttributes("/emmc/update/kept-attr", 0x06), 0);
    ASSERT_EQ(Shell("umount /emmc/update && mount -w /emmc/update"), 0);
    std::uint32_t word = 0;
    ASSERT_EQ(GetAttributes("/emmc/update/kept-attr", word), 0);
    EXPECT_EQ(word, 0x06u);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const UniqueFd readEnd(fds[0]);
    const UniqueFd writeEnd(fds[1]);
    ASSERT_EQ(::write(writeEnd.get(), "abc", 3), 3);
    int pending = 0;
    EXPECT_EQ(::ioctl(readEnd.get(), FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 3);
}

TEST(SandboxDevices, ProductIdIsTheRequestedOne)
{
    EXPECT_EQ(ReadFile("/sys/devices/platform/platforminfo/board_product_id"), "5\n");
}

TEST(SandboxDevices, ParameterBlockIsMappableAtTheOnChipRamAddress)
{
    // The installer opens /dev/mem with these flags and maps 64 KiB at the OCM RAM address.
    UniqueFd mem(::open("/dev/mem", 0x1002));
    ASSERT_GE(mem.get(), 0) << std::strerror(errno);
    void* map = ::mmap(nullptr, 0x10000, PROT_READ | PROT_WRITE, MAP_SHARED, mem.get(), 0x40200000);
    ASSERT_NE(map, MAP_FAILED) << std::strerror(errno);
    auto* block = static_cast<unsigned char*>(map);

    EXPECT_EQ(std::memcmp(block, "instrument-sim", 14), 0);
    EXPECT_EQ(block[20] | block[21] << 8 | block[22] << 16 | block[23] << 24, 1);
    const char* package = reinterpret_cast<const char*>(block + 24);
    EXPECT_STREQ(package, "/emmc/update/a.pkg");
    EXPECT_STREQ(package + std::strlen(package) + 1, "007_error.log");

    // What a reader clears must stay cleared for the next reader.
    std::memset(block, 0, 16);
    ASSERT_EQ(::munmap(map, 0x10000), 0);
    std::vector<unsigned char> header(16, 0xff);
    ASSERT_EQ(::pread(mem.get(), header.data(), header.size(), 0x40200000), 16);
    EXPECT_EQ(header, std::vector<unsigned char>(16, 0));
}

}  // namespace
