#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

// Moves this test process into a network namespace of its own with only the loopback interface, up, so that
// the network tests reach nothing but the servers they start themselves. Done once per process, before any
// thread is started (a namespace change needs a single-threaded process); `why` says what refused it, and
// the caller skips the test then. Unprivileged, a user namespace comes first (own user id mapped to root).
inline bool EnterLoopbackNamespace(std::string* why = nullptr)
{
    static const std::string refusal = []() -> std::string
    {
        auto writeFile = [](const char* path, const std::string& text)
        {
            const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
            if (fd < 0)
                return false;
            const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
            ::close(fd);
            return ok;
        };
        if (::geteuid() == 0)
        {
            if (::unshare(CLONE_NEWNET) != 0)
                return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
        }
        else
        {
            const std::string uid = std::to_string(::geteuid()), gid = std::to_string(::getegid());
            if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
                return std::string("unshare(CLONE_NEWUSER | CLONE_NEWNET): ") + std::strerror(errno);
            if (!writeFile("/proc/self/setgroups", "deny") ||
                !writeFile("/proc/self/uid_map", "0 " + uid + " 1") ||
                !writeFile("/proc/self/gid_map", "0 " + gid + " 1"))
                return "mapping the user in the new user namespace failed";
        }
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return std::string("socket: ") + std::strerror(errno);
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
        request.ifr_flags = short(request.ifr_flags | IFF_UP);
        up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
        const int error = errno;
        ::close(fd);
        if (!up)
            return std::string("bringing the loopback interface up: ") + std::strerror(error);
        return std::string();
    }();
    if (why != nullptr)
        *why = refusal;
    return refusal.empty();
}

// In a test body: skips the test where the machine allows no network namespace.
#define VEX_REQUIRE_LOOPBACK_NAMESPACE()                                                \
    do                                                                                  \
    {                                                                                   \
        std::string vexNamespaceRefusal;                                                \
        if (!EnterLoopbackNamespace(&vexNamespaceRefusal))                              \
            GTEST_SKIP() << "no network namespace of our own: " << vexNamespaceRefusal; \
    } while (false)
