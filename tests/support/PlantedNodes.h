#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <string>
#include <vector>

// Nodes planted where the code under test will write, each with its other end held by the test: FIFOs (the
// reading end) and, as root, a terminal's device node (the master side of a pseudo-terminal). Received() says
// whether a single byte reached any of them, which is what writing through the node would do.
class PlantedNodes
{
public:
    PlantedNodes() = default;
    PlantedNodes(const PlantedNodes&) = delete;
    PlantedNodes& operator=(const PlantedNodes&) = delete;
    ~PlantedNodes()
    {
        for (int fd : ends_) ::close(fd);
    }

    bool PlantFifo(const std::string& path)
    {
        if (::mkfifo(path.c_str(), 0666) != 0)
            return false;
        return Keep(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    }

    // False where no pseudo-terminal or device node can be made (not root): the caller skips that check.
    bool PlantTerminal(const std::string& path)
    {
        if (::geteuid() != 0)
            return false;
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (!Keep(master))
            return false;
        struct stat slave;
        return ::grantpt(master) == 0 && ::unlockpt(master) == 0 && ::ptsname(master) != nullptr &&
               ::stat(::ptsname(master), &slave) == 0 &&
               ::mknod(path.c_str(), S_IFCHR | 0666, slave.st_rdev) == 0;
    }

    bool Received() const
    {
        for (int fd : ends_)
        {
            struct pollfd ready = {fd, POLLIN, 0};
            char byte;
            if (::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0 && ::read(fd, &byte, 1) > 0)
                return true;
        }
        return false;
    }

private:
    bool Keep(int fd)
    {
        if (fd >= 0)
            ends_.push_back(fd);
        return fd >= 0;
    }

    std::vector<int> ends_;
};
