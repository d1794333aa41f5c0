#include "app/parameters/OcmRamIO.h"
#include "app/parameters/OcmRamIOFactory.h"
#include "app/parameters/ParametersReaderDefault.h"
#include "base/UniqueFd.h"

#include "tests/support/ParameterValues.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <string>
#include <vector>

using namespace vex::app;
using namespace vex::base;

namespace
{
using test_support::ParameterValues;

constexpr off_t kEnd = OcmRamIO::kOcmRamAddress + static_cast<off_t>(IParametersIO::kBlockSize);

// A sparse stand-in for the physical-memory device, `size` bytes long, with `block` at the on-chip RAM's
// address (as far as it fits).
bool MakeDevice(const std::string& path, off_t size, const std::vector<unsigned char>& block)
{
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    if (!fd.valid())
    {
        return false;
    }
    bool ok = ::ftruncate(fd.get(), size) == 0;
    const off_t room = size - OcmRamIO::kOcmRamAddress;
    if (ok && room > 0)
    {
        const size_t n = std::min<size_t>(block.size(), static_cast<size_t>(room));
        ok = ::pwrite(fd.get(), block.data(), n, OcmRamIO::kOcmRamAddress) == static_cast<ssize_t>(n);
    }
    return fd.close() && ok;
}

std::vector<unsigned char> ReadDevice(const std::string& path, size_t n)
{
    std::vector<unsigned char> bytes(n, 0xEE);
    const UniqueFd fd(::open(path.c_str(), O_RDONLY));
    if (fd.valid() && ::pread(fd.get(), bytes.data(), n, OcmRamIO::kOcmRamAddress) != static_cast<ssize_t>(n))
    {
        bytes.assign(n, 0xEE);
    }
    return bytes;
}

std::vector<unsigned char> SampleBlock()
{
    std::vector<unsigned char> block(64, 0);
    for (int i = 0; i < 16; ++i)
    {
        block[i] = 0x55;
    }
    block[20] = 1;
    const std::string pkg = "/emmc/update/a.pkg";
    std::copy(pkg.begin(), pkg.end(), block.begin() + 24);
    // The package path's NUL and the empty log name's NUL follow from the zero fill.
    return block;
}

TEST(OcmRamIO, MapsTheBlockAtTheOnChipRamAddressAndWritesThrough)
{
    TempDir dir;
    const std::string device = dir / "mem";
    ASSERT_TRUE(MakeDevice(device, kEnd, SampleBlock()));

    OcmRamIO io(device);
    unsigned char* block = io.Open();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[0], 0x55);
    EXPECT_EQ(block[20], 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block + 24)), "/emmc/update/a.pkg");
    block[0] = 0;
    block[IParametersIO::kBlockSize - 1] = 0x77;  // the whole 64 KiB is mapped
    io.Close();

    const std::vector<unsigned char> written = ReadDevice(device, IParametersIO::kBlockSize);
    EXPECT_EQ(written[0], 0);
    EXPECT_EQ(written[IParametersIO::kBlockSize - 1], 0x77);

    // Opening again (twice, without closing in between) maps it afresh.
    ASSERT_NE(io.Open(), nullptr);
    unsigned char* again = io.Open();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again[0], 0);
}

TEST(OcmRamIO, NoDeviceOrTooShortADeviceGivesNoBlock)
{
    TempDir dir;
    EXPECT_EQ(OcmRamIO(dir / "missing").Open(), nullptr);

    // A stand-in file that ends inside the block would fault on first touch; it is refused instead.
    const std::string shortDevice = dir / "short";
    ASSERT_TRUE(MakeDevice(shortDevice, kEnd - 1, SampleBlock()));
    EXPECT_EQ(OcmRamIO(shortDevice).Open(), nullptr);

    // Nor does a directory (no read-write open), which refuses even root.
    EXPECT_EQ(OcmRamIO(dir.str()).Open(), nullptr);
}

TEST(OcmRamIO, ReaderOnTheDeviceConsumesOnlyTheHeader)
{
    TempDir dir;
    const std::string device = dir / "mem";
    ASSERT_TRUE(MakeDevice(device, kEnd, SampleBlock()));
    OcmRamIOFactory factory(device);
    ParametersReaderDefault reader(factory);

    for (int round = 0; round < 2; ++round)
    {
        ParameterValues values{"", "stale", 0};
        ASSERT_TRUE(reader.getParameters(values.pkg, values.log, values.flags)) << "round " << round;
        EXPECT_EQ(values, (ParameterValues{"/emmc/update/a.pkg", "", 1}));
        const std::vector<unsigned char> after = ReadDevice(device, 24);
        EXPECT_EQ(std::vector<unsigned char>(after.begin(), after.begin() + 16),
                  std::vector<unsigned char>(16, 0));
        EXPECT_EQ(after[20], 1);
    }
}

TEST(OcmRamIO, ReaderWithoutTheDeviceChangesNothing)
{
    TempDir dir;
    OcmRamIOFactory factory(dir / "missing");
    ParametersReaderDefault reader(factory);
    const ParameterValues before{"p", "l", 9};
    ParameterValues values = before;
    EXPECT_FALSE(reader.getParameters(values.pkg, values.log, values.flags));
    EXPECT_EQ(values, before);
}
}  // namespace
