// The fault proxy of the end-to-end tests, driven with the real HTTP transport against a small file server,
// all in a network namespace of the test's own.
#include "fleet/http/CurlHttpClient.h"

#include "tests/support/LoopbackNamespace.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

using vex::fleet::CurlHttpClient;
using vex::fleet::CurlSettings;
using vex::fleet::HttpRequest;
using vex::fleet::HttpResponse;

namespace
{
// A static file server the way the proxy meets one: ETag, If-None-Match (304), "Range: bytes=N-" (206)
// unless If-Range names another ETag, PUT; every request head kept.
class FileServer
{
public:
    FileServer()
        : server_(
              [this](LoopbackConnection& connection)
              {
                  std::string head, body;
                  if (connection.readRequest(head, body))
                      connection.send(answer(head, body));
              })
    {
    }

    void serve(const std::string& path, const std::string& body, const std::string& etag)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        files_[path] = {body, etag};
    }
    std::vector<std::string> heads()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return heads_;
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(server_.port()); }

private:
    std::string answer(const std::string& head, const std::string& body)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        heads_.push_back(head);
        const std::string method = head.substr(0, head.find(' '));
        const size_t start = head.find(' ') + 1;
        const std::string path = head.substr(start, head.find(' ', start) - start);
        if (method == "PUT")
        {
            files_[path] = {body, "\"put\""};
            return "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n";
        }
        if (path == "/chunked")
            return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6;x=y\r\n "
                   "world\r\n0\r\n\r\n";
        const auto found = files_.find(path);
        if (found == files_.end())
            return "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
        const std::string& file = found->second.first;
        const std::string& etag = found->second.second;
        if (LoopbackConnection::headerValue(head, "if-none-match") == etag)
            return "HTTP/1.1 304 Not Modified\r\nETag: " + etag + "\r\n\r\n";
        const std::string range = LoopbackConnection::headerValue(head, "range");
        const std::string ifRange = LoopbackConnection::headerValue(head, "if-range");
        if (range.rfind("bytes=", 0) == 0 && (ifRange.empty() || ifRange == etag))
        {
            const size_t first = std::stoul(range.substr(6));
            const std::string part = file.substr(std::min(first, file.size()));
            return "HTTP/1.1 206 Partial Content\r\nETag: " + etag + "\r\nContent-Range: bytes " +
                   std::to_string(first) + "-" + std::to_string(file.size() - 1) + "/" +
                   std::to_string(file.size()) + "\r\nContent-Length: " + std::to_string(part.size()) +
                   "\r\n\r\n" + part;
        }
        return "HTTP/1.1 200 OK\r\nETag: " + etag + "\r\nContent-Length: " + std::to_string(file.size()) +
               "\r\n\r\n" + file;
    }

    std::mutex mutex_;
    std::map<std::string, std::pair<std::string, std::string>> files_;
    std::vector<std::string> heads_;
    LoopbackServer server_;
};

// The proxy as a child process: started with a port of its own, stopped with SIGTERM (bounded).
class Proxy
{
public:
    Proxy(const TempDir& dir, const std::string& upstream, std::vector<std::string> extra)
        : portFile_(dir / "port"), logFile_(dir / "proxy.log")
    {
        std::vector<std::string> words = {FAULT_PROXY_PATH, "--listen", "127.0.0.1:0", "--upstream", upstream,
                                          "--port-file",    portFile_,  "--log",       logFile_};
        words.insert(words.end(), extra.begin(), extra.end());
        std::remove(portFile_.c_str());  // an earlier proxy's
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, FAULT_PROXY_PATH, nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        for (int i = 0; pid_ > 0 && port_ == 0 && i < 200; ++i)
        {
            std::ifstream file(portFile_);
            if (file >> port_)
                break;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_)  // ended without listening
            {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    ~Proxy() { stop(); }

    std::string url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    bool running() const { return port_ != 0; }

    // SIGTERM, then the exit status (-1 when it had to be killed).
    int stop()
    {
        if (pid_ <= 0)
            return status_;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 200; ++i)
        {
            if (::waitpid(pid_, &status, WNOHANG) == pid_)
            {
                pid_ = -1;
                return status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status_ = -1;
    }

    std::vector<std::string> logLines() const
    {
        std::ifstream file(logFile_);
        std::vector<std::string> lines;
        for (std::string line; lines.size() < 1000 && std::getline(file, line);) lines.push_back(line);
        return lines;
    }

private:
    std::string portFile_, logFile_;
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = -1;
};

class FaultProxyTest : public testing::Test
{
protected:
    void SetUp() override
    {
        VEX_REQUIRE_LOOPBACK_NAMESPACE();
        // Made here, once in the namespace: a socket stays in the namespace it was made in.
        upstream = std::make_unique<FileServer>();
        for (int i = 0; i < 100; ++i) body += "line " + std::to_string(i) + " of the package\n";
        upstream->serve("/fleet/stable.json", "{\"sequence\":4}", "\"c4\"");
        upstream->serve("/fleet/packages/abc.pkg", body, "\"p1\"");
    }

    std::unique_ptr<Proxy> start(std::vector<std::string> extra)
    {
        auto proxy = std::make_unique<Proxy>(dir, upstream->address(), std::move(extra));
        EXPECT_TRUE(proxy->running());
        return proxy;
    }

    HttpResponse get(const Proxy& proxy, const std::string& path,
                     std::vector<std::pair<std::string, std::string>> headers = {})
    {
        HttpRequest request;
        request.url = proxy.url(path);
        request.headers = std::move(headers);
        return client.send(request);
    }

    static CurlSettings settings()
    {
        CurlSettings s;
        s.connectTimeoutSeconds = 5;
        s.stallSeconds = 5;
        s.requestTimeoutSeconds = 20;
        return s;
    }

    TempDir dir;
    std::unique_ptr<FileServer> upstream;
    CurlHttpClient client{settings()};
    std::string body;
};

TEST_F(FaultProxyTest, WithoutFaultForwardsExchangesUnchangedOneConnectionEach)
{
    auto proxy = start({});
    HttpResponse response = get(*proxy, "/fleet/packages/abc.pkg", {{"Range", "bytes=100-"}});
    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.status, 206);
    EXPECT_EQ(response.body, body.substr(100));
    ASSERT_NE(response.header("etag"), nullptr);
    EXPECT_EQ(*response.header("etag"), "\"p1\"");

    HttpRequest put;
    put.method = HttpRequest::Method::kPut;
    put.url = proxy->url("/reports/SN-1/1.2.0.json");
    put.body = "{\"state\":\"success\"}";
    put.headers = {{"Content-Type", "application/json"}};
    response = client.send(put);
    EXPECT_EQ(response.status, 201);

    response = get(*proxy, "/chunked");
    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.body, "hello world") << "a chunked answer reaches the client whole";

    const std::vector<std::string> heads = upstream->heads();
    ASSERT_EQ(heads.size(), 3u);
    for (const std::string& head : heads)
        EXPECT_EQ(LoopbackConnection::headerValue(head, "connection"), "close");
    EXPECT_EQ(LoopbackConnection::headerValue(heads[0], "range"), "bytes=100-");
    EXPECT_EQ(LoopbackConnection::headerValue(heads[1], "content-type"), "application/json");

    EXPECT_EQ(proxy->stop(), 0);
    const std::vector<std::string> log = proxy->logLines();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "GET /fleet/packages/abc.pkg 206 none");
    EXPECT_EQ(log[1], "PUT /reports/SN-1/1.2.0.json 201 none");
}

TEST_F(FaultProxyTest, CutAndFlipSpoilOnlyTheMatchingRequestsTheyAreCountedFor)
{
    auto proxy = start({"--fault", "cut:1000", "--match", ".pkg"});
    HttpResponse response = get(*proxy, "/fleet/stable.json");
    EXPECT_EQ(response.error, "") << "not a matching target";
    std::string received;
    HttpRequest request;
    request.url = proxy->url("/fleet/packages/abc.pkg");
    response = client.send(request, {},
                           [&](const uint8_t* bytes, size_t length)
                           {
                               received.append(reinterpret_cast<const char*>(bytes), length);
                               return true;
                           });
    EXPECT_NE(response.error, "");
    EXPECT_EQ(received, body.substr(0, 1000));
    response = get(*proxy, "/fleet/packages/abc.pkg");
    EXPECT_EQ(response.error, "") << "only the first matching request is cut";
    EXPECT_EQ(response.body, body);
    EXPECT_EQ(proxy->stop(), 0);
    const std::vector<std::string> log = proxy->logLines();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1], "GET /fleet/packages/abc.pkg 200 cut:1000");

    proxy = start({"--fault", "flip:5", "--times", "0"});
    for (int round = 0; round < 2; ++round)
    {
        response = get(*proxy, "/fleet/packages/abc.pkg");
        EXPECT_EQ(response.error, "");
        ASSERT_EQ(response.body.size(), body.size());
        std::string expected = body;
        expected[5] = char(expected[5] ^ 0x01);
        EXPECT_EQ(response.body, expected) << "exactly one bit of byte 5, every time";
    }
}

TEST_F(FaultProxyTest, BusyAnswersComeFromTheProxyAlone)
{
    auto proxy = start({"--fault", "status503:7", "--match", "stable.json", "--times", "2"});
    for (int round = 0; round < 2; ++round)
    {
        const HttpResponse response = get(*proxy, "/fleet/stable.json");
        EXPECT_EQ(response.status, 503);
        ASSERT_NE(response.header("retry-after"), nullptr);
        EXPECT_EQ(*response.header("retry-after"), "7");
    }
    EXPECT_TRUE(upstream->heads().empty());
    const HttpResponse response = get(*proxy, "/fleet/stable.json");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(upstream->heads().size(), 1u);
}

TEST_F(FaultProxyTest, RangesIgnoredOrAnsweredAsAChangedFile)
{
    auto proxy = start({"--fault", "ignore-range"});
    HttpResponse response =
        get(*proxy, "/fleet/packages/abc.pkg", {{"Range", "bytes=100-"}, {"If-Range", "\"p1\""}});
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, body);
    EXPECT_EQ(LoopbackConnection::headerValue(upstream->heads().back(), "range"), "");
    EXPECT_EQ(LoopbackConnection::headerValue(upstream->heads().back(), "if-range"), "");

    proxy = start({"--fault", "etag-change", "--times", "2"});
    response = get(*proxy, "/fleet/packages/abc.pkg", {{"Range", "bytes=100-"}, {"If-Range", "\"p1\""}});
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, body);
    ASSERT_NE(response.header("etag"), nullptr);
    EXPECT_NE(*response.header("etag"), "\"p1\"");
    response = get(*proxy, "/fleet/stable.json", {{"If-None-Match", "\"c4\""}});
    EXPECT_EQ(response.status, 200) << "the file changed, so the held ETag no longer matches";
    ASSERT_NE(response.header("etag"), nullptr);
    EXPECT_NE(*response.header("etag"), "\"c4\"");
    response = get(*proxy, "/fleet/stable.json", {{"If-None-Match", "\"c4\""}});
    EXPECT_EQ(response.status, 304);
}

TEST_F(FaultProxyTest, StallSendsHalfTheBodyThenCloses)
{
    auto proxy = start({"--fault", "stall:1"});
    std::string received;
    HttpRequest request;
    request.url = proxy->url("/fleet/packages/abc.pkg");
    const HttpResponse response =
        client.send(request, {},
                    [&](const uint8_t* bytes, size_t length)
                    {
                        received.append(reinterpret_cast<const char*>(bytes), length);
                        return true;
                    });
    EXPECT_NE(response.error, "");
    EXPECT_EQ(received, body.substr(0, body.size() / 2));
    EXPECT_EQ(proxy->stop(), 0);
}

TEST_F(FaultProxyTest, RefusesMalformedCommandLines)
{
    for (const char* fault : {"cut", "cut:x", "stall:99999", "explode", "flip:-1", "none:3"})
    {
        Proxy proxy(dir, upstream->address(), {"--fault", fault});
        EXPECT_FALSE(proxy.running()) << fault;
        EXPECT_EQ(proxy.stop(), 2) << fault;
    }
}

}  // namespace
