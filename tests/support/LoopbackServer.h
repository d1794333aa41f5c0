#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One accepted connection of a LoopbackServer, plain or TLS. Every read and write waits at most a few
// seconds, so a client that misbehaves fails the test instead of hanging it.
class LoopbackConnection
{
public:
    LoopbackConnection(int fd, SSL* tls, const std::atomic<bool>& stop) : fd_(fd), tls_(tls), stop_(stop) {}

    // Reads one request: the head up to the empty line and a body of its Content-Length. False when the
    // connection ended or timed out first.
    bool readRequest(std::string& head, std::string& body)
    {
        head.clear();
        body.clear();
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (buffer_.size() > kLargestHead || !fill())
                return false;
        head = buffer_.substr(0, end + 4);
        buffer_.erase(0, end + 4);
        size_t length = 0;
        const std::string field = headerValue(head, "content-length");
        if (!field.empty())
            length = size_t(std::strtoull(field.c_str(), nullptr, 10));
        if (length > kLargestBody)
            return false;
        while (buffer_.size() < length)
            if (!fill())
                return false;
        body = buffer_.substr(0, length);
        buffer_.erase(0, length);
        return true;
    }

    bool send(const std::string& bytes)
    {
        size_t at = 0;
        while (at < bytes.size())
        {
            const int n = tls_ != nullptr
                              ? SSL_write(tls_, bytes.data() + at, int(bytes.size() - at))
                              : int(::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL));
            if (n <= 0)
                return false;
            at += size_t(n);
        }
        return true;
    }

    // Waits until the client closes its end (or `limitMs` pass); true when it did.
    bool waitForClose(int limitMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!stop_ && std::chrono::steady_clock::now() < deadline)
        {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0)
            {
                char scratch[4096];
                const ssize_t n = ::recv(fd_, scratch, sizeof scratch, 0);
                if (n <= 0)
                    return true;
            }
        }
        return false;
    }

    // The value of the first field of that (lower-case) name in a request head, or "".
    static std::string headerValue(const std::string& head, const std::string& lowerName)
    {
        size_t at = head.find("\r\n");
        while (at != std::string::npos && at + 2 < head.size())
        {
            const size_t lineEnd = head.find("\r\n", at + 2);
            const std::string line = head.substr(at + 2, lineEnd - at - 2);
            const size_t colon = line.find(':');
            if (colon != std::string::npos)
            {
                std::string name = line.substr(0, colon);
                for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
                if (name == lowerName)
                {
                    const size_t start = line.find_first_not_of(' ', colon + 1);
                    return start == std::string::npos ? std::string() : line.substr(start);
                }
            }
            at = lineEnd;
        }
        return std::string();
    }

private:
    static constexpr size_t kLargestHead = 64 * 1024;
    static constexpr size_t kLargestBody = 1 << 20;

    // Waits for bytes in short slices, so that a server being stopped never waits out a client's idle
    // connection.
    bool fill()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        if (tls_ == nullptr || SSL_pending(tls_) == 0)
            for (;;)
            {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0)
                    break;
                if (stop_ || std::chrono::steady_clock::now() >= deadline)
                    return false;
            }
        char chunk[4096];
        const int n = tls_ != nullptr ? SSL_read(tls_, chunk, int(sizeof chunk))
                                      : int(::recv(fd_, chunk, sizeof chunk, 0));
        if (n <= 0)
            return false;
        buffer_.append(chunk, size_t(n));
        return true;
    }

    int fd_;
    SSL* tls_;
    const std::atomic<bool>& stop_;
    std::string buffer_;
};

// A server on 127.0.0.1 (a port of its own) in a thread, taking one connection at a time and handing each to
// the test's handler, which reads requests and answers with whatever raw bytes the case needs. With a TLS
// context, each connection first completes a TLS handshake (one that fails is counted, not handed on).
// Stops, bounded, when it goes.
class LoopbackServer
{
public:
    using Handler = std::function<void(LoopbackConnection&)>;

    explicit LoopbackServer(Handler handler, SSL_CTX* tls = nullptr) : handler_(std::move(handler)), tls_(tls)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~LoopbackServer()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (listener_ >= 0)
            ::close(listener_);
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    uint16_t port() const { return port_; }
    std::string url(const std::string& path) const
    {
        return std::string(tls_ != nullptr ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
               path;
    }
    int connections() const { return connections_; }
    int failedHandshakes() const { return failedHandshakes_; }

private:
    void run()
    {
        // A client that hangs up mid-answer makes a write fail, never kill the test process (TLS writes go
        // through write(2), which raises SIGPIPE; a blocked one stays pending on this thread).
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        // Bounded: a test's server lives for seconds; a test that forgets it ends it here.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!stop_ && std::chrono::steady_clock::now() < deadline)
        {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            timeval limit{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            ++connections_;
            SSL* tls = nullptr;
            if (tls_ != nullptr)
            {
                tls = SSL_new(tls_);
                SSL_set_fd(tls, fd);
                if (SSL_accept(tls) != 1)
                {
                    ++failedHandshakes_;
                    SSL_free(tls);
                    ::close(fd);
                    continue;
                }
            }
            LoopbackConnection connection(fd, tls, stop_);
            handler_(connection);
            if (tls != nullptr)
            {
                SSL_shutdown(tls);
                SSL_free(tls);
            }
            ::close(fd);
        }
    }

    Handler handler_;
    SSL_CTX* tls_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> failedHandshakes_{0};
    std::thread thread_;
};
