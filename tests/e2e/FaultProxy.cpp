// fault-proxy: an HTTP/1.1 proxy on loopback that stands between a client and a web server and spoils
// chosen answers the way networks and servers do: a cut connection, a busy server, ranges ignored, a file
// that changes between requests, a flipped bit, a stalled transfer.
//
// Usage: fault-proxy --listen 127.0.0.1:PORT --upstream 127.0.0.1:PORT [--fault SPEC] [--match TEXT]
//                    [--times N] [--log FILE] [--port-file FILE]
//   SPEC  none            forward unchanged
//         cut:N           close after N body bytes of the answer
//         status503:S     answer 503 with "Retry-After: S" without asking upstream
//         ignore-range    drop Range and If-Range from the request (upstream answers 200 whole)
//         etag-change     give answers another ETag, and answer conditional requests as a server whose
//                         file changed (If-Range, If-None-Match dropped: 200 whole with the new ETag)
//         flip:N          flip one bit of the body byte at offset N
//         stall:S         send half the body, then nothing for S seconds, then close
//   A fault applies to requests whose target contains TEXT (default: all), the first N of them (default 1;
//   0: every one). --listen with port 0 takes a free port and writes it to FILE. One upstream connection per
//   request, one request per client connection; at most 64 connections at once; every wait time-limited.
//   Logs one line per request, "METHOD TARGET STATUS FAULT", to FILE or standard output. SIGTERM or SIGINT
//   end it (exit 0); usage errors exit 2, a listener that cannot be set up exits 1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{
volatile sig_atomic_t gStop = 0;

void Stop(int)
{
    gStop = 1;
}

constexpr int kMostConnections = 64;
constexpr size_t kLargestHead = 64 * 1024;
constexpr size_t kLargestRequestBody = 16 * 1024 * 1024;
constexpr int kWaitSeconds = 30;  // the longest any single read or write waits for the other side
constexpr int kSlice = 100;       // ms; how often a wait looks at the stop flag

using Clock = std::chrono::steady_clock;

enum class FaultKind
{
    kNone,
    kCut,
    kStatus503,
    kIgnoreRange,
    kEtagChange,
    kFlip,
    kStall,
};

struct Options
{
    sockaddr_in listen{};
    sockaddr_in upstream{};
    FaultKind fault = FaultKind::kNone;
    unsigned long long faultValue = 0;
    std::string faultText = "none";
    std::string match;
    unsigned long long times = 1;
    std::string logFile;
    std::string portFile;
};

Options gOptions;
std::mutex gMutex;  // the fault count and the log
unsigned long long gFaulted = 0;
FILE* gLog = stdout;
std::atomic<int> gActive{0};

bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long& value)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return value <= max;
}

bool ParseAddress(const std::string& text, bool portZeroAllowed, sockaddr_in& address)
{
    const size_t colon = text.rfind(':');
    unsigned long long port = 0;
    if (colon == std::string::npos || !ParseNumber(text.substr(colon + 1), 65535, port) ||
        (port == 0 && !portZeroAllowed))
        return false;
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    return ::inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) == 1;
}

bool ParseFault(const std::string& text, Options& options)
{
    options.faultText = text;
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    const std::string value = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    const bool hasValue = colon != std::string::npos;
    struct Known
    {
        const char* name;
        FaultKind kind;
        bool takesValue;
        unsigned long long max;
    };
    static const Known known[] = {
        {"none", FaultKind::kNone, false, 0},
        {"cut", FaultKind::kCut, true, 1ULL << 50},
        {"status503", FaultKind::kStatus503, true, 86400},
        {"ignore-range", FaultKind::kIgnoreRange, false, 0},
        {"etag-change", FaultKind::kEtagChange, false, 0},
        {"flip", FaultKind::kFlip, true, 1ULL << 50},
        {"stall", FaultKind::kStall, true, 3600},
    };
    for (const Known& k : known)
        if (name == k.name)
        {
            options.fault = k.kind;
            return hasValue == k.takesValue && (!hasValue || ParseNumber(value, k.max, options.faultValue));
        }
    return false;
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    bool haveListen = false, haveUpstream = false;
    for (int i = 1; i < argc; i += 2)
    {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[i + 1];
        if (option == "--listen")
            haveListen = ParseAddress(value, true, options.listen);
        else if (option == "--upstream")
            haveUpstream = ParseAddress(value, false, options.upstream);
        else if (option == "--fault")
        {
            if (!ParseFault(value, options))
                return false;
        }
        else if (option == "--match")
            options.match = value;
        else if (option == "--times")
        {
            if (!ParseNumber(value, 1000000000ULL, options.times))
                return false;
        }
        else if (option == "--log")
            options.logFile = value;
        else if (option == "--port-file")
            options.portFile = value;
        else
            return false;
    }
    return haveListen && haveUpstream;
}

void Log(const std::string& line)
{
    std::lock_guard<std::mutex> lock(gMutex);
    std::fprintf(gLog, "%s\n", line.c_str());
    std::fflush(gLog);
}

// Waits until `fd` is ready for `events`, at most kWaitSeconds, giving up early when told to stop.
bool WaitFor(int fd, short events)
{
    const auto deadline = Clock::now() + std::chrono::seconds(kWaitSeconds);
    while (!gStop && Clock::now() < deadline)
    {
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, kSlice);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
    return false;
}

bool SendAll(int fd, const char* data, size_t length)
{
    while (length > 0)
    {
        if (!WaitFor(fd, POLLOUT))
            return false;
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        length -= size_t(sent);
    }
    return true;
}

bool SendAll(int fd, const std::string& text)
{
    return SendAll(fd, text.data(), text.size());
}

// Buffered reading from one socket, every read time-limited.
class Reader
{
public:
    explicit Reader(int fd) : fd_(fd) {}

    // More bytes into the buffer; false at the end of the stream, an error or a time-out.
    bool fill()
    {
        if (!WaitFor(fd_, POLLIN))
            return false;
        char chunk[16384];
        ssize_t got;
        do got = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        while (got < 0 && errno == EINTR);
        if (got <= 0)
            return false;
        buffer_.append(chunk, size_t(got));
        return true;
    }

    // Up to and including the line end, without it; at most `limit` bytes.
    bool line(std::string& text, size_t limit)
    {
        size_t end;
        while ((end = buffer_.find("\r\n")) == std::string::npos)
            if (buffer_.size() > limit || !fill())
                return false;
        if (end > limit)
            return false;
        text = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        return true;
    }

    // A head: everything up to the empty line, as lines.
    bool head(std::vector<std::string>& lines)
    {
        lines.clear();
        size_t total = 0;
        std::string text;
        while (line(text, kLargestHead - total))
        {
            if (text.empty())
                return !lines.empty();
            total += text.size() + 2;
            lines.push_back(text);
        }
        return false;
    }

    // Up to `most` bytes (at least one); false at the end.
    bool some(std::string& out, size_t most)
    {
        if (buffer_.empty() && !fill())
            return false;
        const size_t take = std::min(most, buffer_.size());
        out.assign(buffer_, 0, take);
        buffer_.erase(0, take);
        return true;
    }

private:
    int fd_;
    std::string buffer_;
};

struct Message
{
    std::string startLine;
    std::vector<std::pair<std::string, std::string>> fields;  // names as sent

    static std::string lower(std::string text)
    {
        for (char& c : text) c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
        return text;
    }
    bool parse(const std::vector<std::string>& lines)
    {
        startLine = lines[0];
        fields.clear();
        for (size_t i = 1; i < lines.size(); ++i)
        {
            const size_t colon = lines[i].find(':');
            if (colon == std::string::npos || colon == 0 || lines[i][0] == ' ' || lines[i][0] == '\t')
                return false;
            const size_t start = lines[i].find_first_not_of(" \t", colon + 1);
            size_t end = lines[i].find_last_not_of(" \t");
            fields.emplace_back(lines[i].substr(0, colon), start == std::string::npos
                                                               ? std::string()
                                                               : lines[i].substr(start, end + 1 - start));
        }
        return true;
    }
    const std::string* get(const std::string& lowerName) const
    {
        for (const auto& field : fields)
            if (lower(field.first) == lowerName)
                return &field.second;
        return nullptr;
    }
    void remove(const std::string& lowerName)
    {
        for (size_t i = fields.size(); i-- > 0;)
            if (lower(fields[i].first) == lowerName)
                fields.erase(fields.begin() + long(i));
    }
    std::string text() const
    {
        std::string out = startLine + "\r\n";
        for (const auto& field : fields) out += field.first + ": " + field.second + "\r\n";
        return out + "\r\n";
    }
};

std::string ChangedEtag(const std::string& etag)
{
    if (!etag.empty() && etag.back() == '"')
        return etag.substr(0, etag.size() - 1) + "-changed\"";
    return etag + "-changed";
}

int ConnectUpstream()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&gOptions.upstream), sizeof gOptions.upstream) == 0)
        return fd;
    int error = errno;
    socklen_t length = sizeof error;
    if (error == EINPROGRESS)
    {
        error = ETIMEDOUT;
        if (WaitFor(fd, POLLOUT) && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
    }
    if (error == 0)
        return fd;
    ::close(fd);
    errno = error;
    return -1;
}

// Sends the answer's body to the client, spoiling it as the fault says. False when the client's connection
// is to be closed early (cut, stall) or failed.
class BodyForwarder
{
public:
    BodyForwarder(int client, FaultKind fault, unsigned long long value, long long contentLength)
        : client_(client), fault_(fault), value_(value)
    {
        // Half the body, or the first 64 KiB when its length is not known.
        stallAt_ = contentLength >= 0 ? (unsigned long long)(contentLength) / 2 : 65536;
    }

    bool forward(std::string piece)
    {
        const unsigned long long end = offset_ + piece.size();
        if (fault_ == FaultKind::kCut || fault_ == FaultKind::kStall)
        {
            const unsigned long long stopAt = fault_ == FaultKind::kCut ? value_ : stallAt_;
            if (end >= stopAt)
            {
                if (!SendAll(client_, piece.data(), size_t(stopAt - offset_)))
                    return false;
                offset_ = stopAt;
                stopped_ = true;
                if (fault_ == FaultKind::kStall)
                    Sleep(value_);
                return false;
            }
        }
        if (fault_ == FaultKind::kFlip && value_ >= offset_ && value_ < end)
        {
            piece[size_t(value_ - offset_)] ^= 0x01;
            flipped_ = true;
        }
        offset_ = end;
        return SendAll(client_, piece);
    }

    // A cut at 0 bytes (or a stall of an empty body) happens before the first piece.
    bool start()
    {
        if ((fault_ == FaultKind::kCut && value_ == 0) || (fault_ == FaultKind::kStall && stallAt_ == 0))
            return forward(std::string());
        return true;
    }

    bool stopped() const { return stopped_; }
    bool flipped() const { return flipped_; }
    unsigned long long offset() const { return offset_; }

private:
    static void Sleep(unsigned long long seconds)
    {
        const auto until = Clock::now() + std::chrono::seconds(seconds);
        while (!gStop && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(kSlice));
    }

    int client_;
    FaultKind fault_;
    unsigned long long value_;
    unsigned long long stallAt_;
    unsigned long long offset_ = 0;
    bool stopped_ = false;
    bool flipped_ = false;
};

// Copies the upstream body, framed as the answer says, to the forwarder.
bool CopyBody(Reader& upstream, const Message& answer, BodyForwarder& out)
{
    if (!out.start())
        return false;
    const std::string* encoding = answer.get("transfer-encoding");
    std::string piece;
    if (encoding != nullptr && Message::lower(*encoding).find("chunked") != std::string::npos)
    {
        for (int chunks = 0; chunks < 10000000; ++chunks)
        {
            std::string sizeLine;
            if (!upstream.line(sizeLine, 1024))
                return false;
            const std::string digits = sizeLine.substr(0, sizeLine.find(';'));
            if (digits.empty() || digits.size() > 12 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return false;
            unsigned long long left = std::strtoull(digits.c_str(), nullptr, 16);
            if (left == 0)
            {
                std::string line;
                for (int i = 0; i < 100 && upstream.line(line, 8192); ++i)
                    if (line.empty())
                        return true;
                return false;
            }
            while (left > 0)
            {
                if (!upstream.some(piece, size_t(std::min<unsigned long long>(left, 65536))))
                    return false;
                left -= piece.size();
                if (!out.forward(piece))
                    return false;
            }
            std::string end;
            if (!upstream.line(end, 2) || !end.empty())
                return false;
        }
        return false;
    }
    const std::string* length = answer.get("content-length");
    unsigned long long left = 0;
    if (length != nullptr && !ParseNumber(*length, 1ULL << 50, left))
        return false;
    // Without a length the body ends with the connection.
    const bool untilClose = length == nullptr;
    while (untilClose || left > 0)
    {
        if (!upstream.some(piece, size_t(untilClose ? 65536 : std::min<unsigned long long>(left, 65536))))
            return untilClose;
        if (!untilClose)
            left -= piece.size();
        if (!out.forward(piece))
            return false;
    }
    return true;
}

void ServeClient(int client)
{
    Reader fromClient(client);
    std::vector<std::string> lines;
    Message request;
    if (!fromClient.head(lines) || !request.parse(lines))
        return;
    const size_t firstSpace = request.startLine.find(' ');
    const size_t secondSpace = request.startLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos)
        return;
    const std::string method = request.startLine.substr(0, firstSpace);
    const std::string target = request.startLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    auto answerLocally = [&](const std::string& status, const std::string& extra, const std::string& fault)
    {
        SendAll(client,
                "HTTP/1.1 " + status + "\r\n" + extra + "Content-Length: 0\r\nConnection: close\r\n\r\n");
        Log(method + " " + target + " " + status.substr(0, 3) + " " + fault);
    };

    if (request.get("transfer-encoding") != nullptr)
        return answerLocally("501 Not Implemented", "", "none");
    unsigned long long bodyLength = 0;
    const std::string* length = request.get("content-length");
    if (length != nullptr && (!ParseNumber(*length, kLargestRequestBody, bodyLength)))
        return answerLocally("413 Payload Too Large", "", "none");
    const std::string* expect = request.get("expect");
    if (expect != nullptr && Message::lower(*expect) == "100-continue")
        SendAll(client, "HTTP/1.1 100 Continue\r\n\r\n");
    std::string body, piece;
    while (body.size() < bodyLength)
    {
        if (!fromClient.some(piece, size_t(bodyLength - body.size())))
            return;
        body += piece;
    }

    FaultKind fault = FaultKind::kNone;
    if (gOptions.fault != FaultKind::kNone && target.find(gOptions.match) != std::string::npos)
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (gOptions.times == 0 || gFaulted < gOptions.times)
        {
            ++gFaulted;
            fault = gOptions.fault;
        }
    }
    if (fault == FaultKind::kStatus503)
        return answerLocally("503 Service Unavailable",
                             "Retry-After: " + std::to_string(gOptions.faultValue) + "\r\n",
                             gOptions.faultText);

    for (const char* hopByHop : {"connection", "keep-alive", "proxy-connection", "expect", "te", "upgrade"})
        request.remove(hopByHop);
    if (fault == FaultKind::kIgnoreRange ||
        (fault == FaultKind::kEtagChange && request.get("if-range") != nullptr))
    {
        request.remove("range");
        request.remove("if-range");
    }
    if (fault == FaultKind::kEtagChange)
        request.remove("if-none-match");
    request.fields.emplace_back("Connection", "close");

    const int upstreamFd = ConnectUpstream();
    if (upstreamFd < 0)
        return answerLocally("502 Bad Gateway", "",
                             std::string("none (upstream unreachable: ") + std::strerror(errno) + ")");
    Reader fromUpstream(upstreamFd);
    Message answer;
    bool headIn = SendAll(upstreamFd, request.text()) && SendAll(upstreamFd, body);
    // Interim answers are the proxy's business, not the client's.
    for (int interim = 0; headIn && interim < 8; ++interim)
    {
        headIn = fromUpstream.head(lines) && answer.parse(lines) && answer.startLine.size() >= 12 &&
                 answer.startLine.compare(0, 5, "HTTP/") == 0;
        if (!headIn || answer.startLine[9] != '1')
            break;
    }
    if (!headIn || answer.startLine[9] == '1')
    {
        ::close(upstreamFd);
        return answerLocally("502 Bad Gateway", "", "none (no answer from upstream)");
    }
    const std::string status = answer.startLine.substr(9, 3);

    for (const char* hopByHop : {"connection", "keep-alive"}) answer.remove(hopByHop);
    const std::string* encoding = answer.get("transfer-encoding");
    const bool chunked = encoding != nullptr;
    Message toClient = answer;
    if (chunked)
        toClient.remove("transfer-encoding");  // re-sent as a body that ends with the connection
    if (fault == FaultKind::kEtagChange)
        for (auto& field : toClient.fields)
            if (Message::lower(field.first) == "etag")
                field.second = ChangedEtag(field.second);
    toClient.fields.emplace_back("Connection", "close");

    const bool bodyless = method == "HEAD" || status == "204" || status == "304";
    long long contentLength = -1;
    unsigned long long parsed = 0;
    if (!chunked && answer.get("content-length") != nullptr &&
        ParseNumber(*answer.get("content-length"), 1ULL << 50, parsed))
        contentLength = (long long)(parsed);
    BodyForwarder forwarder(client, bodyless ? FaultKind::kNone : fault, gOptions.faultValue, contentLength);
    bool complete = SendAll(client, toClient.text());
    if (complete && !bodyless)
        complete = CopyBody(fromUpstream, answer, forwarder);
    ::close(upstreamFd);

    std::string note = fault == FaultKind::kNone ? "none" : gOptions.faultText;
    if (fault == FaultKind::kFlip && !forwarder.flipped())
        note += " (body too short: nothing flipped)";
    if ((fault == FaultKind::kCut || fault == FaultKind::kStall) && !forwarder.stopped())
        note += " (body too short: not applied)";
    if (!complete && !forwarder.stopped())
        note += " (transfer failed after " + std::to_string(forwarder.offset()) + " body bytes)";
    Log(method + " " + target + " " + status + " " + note);
}

bool WritePortFile(const std::string& path, uint16_t port)
{
    const std::string temporary = path + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr)
        return false;
    const bool written = std::fprintf(file, "%u\n", unsigned(port)) > 0;
    return std::fclose(file) == 0 && written && std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!ParseOptions(argc, argv, gOptions))
    {
        std::fprintf(stderr,
                     "Usage: fault-proxy --listen 127.0.0.1:PORT --upstream 127.0.0.1:PORT [--fault SPEC] "
                     "[--match TEXT] [--times N] [--log FILE] [--port-file FILE]\n"
                     "  SPEC: none | cut:N | status503:SECONDS | ignore-range | etag-change | flip:N | "
                     "stall:SECONDS\n");
        return 2;
    }
    struct sigaction action = {};
    action.sa_handler = Stop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    if (!gOptions.logFile.empty())
    {
        gLog = std::fopen(gOptions.logFile.c_str(), "a");
        if (gLog == nullptr)
        {
            std::fprintf(stderr, "fault-proxy: %s: %s\n", gOptions.logFile.c_str(), std::strerror(errno));
            return 1;
        }
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    socklen_t length = sizeof gOptions.listen;
    if (listener < 0 || ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&gOptions.listen), sizeof gOptions.listen) != 0 ||
        ::listen(listener, 64) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&gOptions.listen), &length) != 0)
    {
        std::fprintf(stderr, "fault-proxy: cannot listen: %s\n", std::strerror(errno));
        return 1;
    }
    const uint16_t port = ntohs(gOptions.listen.sin_port);
    if (!gOptions.portFile.empty() && !WritePortFile(gOptions.portFile, port))
    {
        std::fprintf(stderr, "fault-proxy: %s: cannot write the port\n", gOptions.portFile.c_str());
        return 1;
    }

    while (!gStop)
    {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, kSlice) <= 0)
            continue;
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        if (gActive >= kMostConnections)
        {
            ::close(client);
            Log("- - - refused: more than " + std::to_string(kMostConnections) + " connections");
            continue;
        }
        ++gActive;
        std::thread(
            [client]
            {
                ServeClient(client);
                ::close(client);
                --gActive;
            })
            .detach();
    }
    ::close(listener);
    // The connections see the stop flag within a wait slice; any that has still not ended after that is
    // dropped with the process (no static destructors run under a thread still at work).
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (gActive > 0 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::fflush(gLog);
    if (gActive > 0)
        ::_exit(0);
    return 0;
}
