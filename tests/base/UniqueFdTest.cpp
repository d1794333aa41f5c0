#include "base/UniqueFd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <utility>

using namespace vex::base;

namespace
{
bool IsOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFd, ClosesOnceWhereverOwnershipEnds)
{
    int raw = -1;
    {
        UniqueFd first(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        raw = first.get();
        ASSERT_TRUE(first.valid());
        UniqueFd second(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_EQ(second.get(), raw);
        UniqueFd third;
        third = std::move(second);
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));

    UniqueFd kept(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int released = kept.release();
    EXPECT_FALSE(kept.valid());
    EXPECT_TRUE(kept.close()) << "nothing owned, nothing to fail";
    EXPECT_TRUE(IsOpen(released));
    ::close(released);
}

TEST(UniqueFd, AFailingCloseIsReported)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[1]);
    UniqueFd stale(fds[1]);  // already closed behind its back
    EXPECT_FALSE(stale.close());
    EXPECT_FALSE(stale.valid());
    UniqueFd open(fds[0]);
    EXPECT_TRUE(open.close());
}
}  // namespace
