#include "base/UniqueFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

using namespace vex::base;

namespace
{
bool IsOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

// The stream takes the descriptor over; a refused one is closed all the same, and the caller still learns
// fdopen's reason rather than whatever closing it left in errno.
TEST(StreamOf, OwnsTheDescriptorOrClosesItKeepingTheReason)
{
    UniqueFd readable(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int raw = readable.get();
    ASSERT_TRUE(readable.valid());
    {
        UniqueFile file = StreamOf(std::move(readable), "rb");
        ASSERT_TRUE(file);
        EXPECT_EQ(::fileno(file.get()), raw);
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));

    UniqueFd readOnly(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int refusedRaw = readOnly.get();
    errno = 0;
    EXPECT_FALSE(StreamOf(std::move(readOnly), "wb"));  // a write stream over a read-only descriptor
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(IsOpen(refusedRaw));

    EXPECT_FALSE(StreamOf(UniqueFd(), "rb"));
}
}  // namespace
