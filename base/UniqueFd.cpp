#include "base/UniqueFd.h"

#include <unistd.h>

namespace vex::base
{
UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
    {
        close();
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd()
{
    close();
}

int UniqueFd::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool UniqueFd::close()
{
    if (fd_ < 0)
    {
        return true;
    }
    return ::close(release()) == 0;
}

}  // namespace vex::base
