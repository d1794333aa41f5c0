// A package download against a server whose every answer the input bends: the status, the header fields
// (Content-Range, ETag), the body bytes, a flipped byte, a cut, a whole file for a range, no answer at all.
// One to three calls of the downloader per input, each resuming what the last one kept. Checked: every call
// ends within a bounded number of requests; the part file only ever holds bytes of the real package; a
// failure leaves nothing of the download behind; and "complete" is said only of the real package, byte for
// byte.
//
// Input: one byte for the request size, one for the attempts and the number of calls, then per request a
// byte choosing the answer and what that answer needs (a position, a status, a header value, a body).
// When the input runs out, the server answers as a plain one would.

#include "fleet/PackageDownloader.h"
#include "tests/fuzz/FixedKeys.h"
#include "tests/fuzz/FuzzTarget.h"
#include "tests/support/PublishedRelease.h"
#include "tests/support/ScriptedHttp.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

using vex::fleet::PackageDownloader;

namespace
{
const char kUrl[] = "http://127.0.0.1:8080/fleet/packages/release.pkg";
const char kEtag[] = "\"v1\"";
// Far above what any call needs (a few blocks, a few attempts, two start-overs); reaching it is a loop.
constexpr size_t kMostRequestsPerCall = 2000;

struct Setup
{
    Setup()
    {
        boost::filesystem::create_directories(keyDirectory);
        FUZZ_REQUIRE(signer.valid());
        FUZZ_REQUIRE(fuzz::writePublicPem(signer, keyDirectory + "/one.pem"));
        std::string error;
        // Small chunks and a file of two blocks: a handful of blocks in all.
        FUZZ_REQUIRE(test_support::publishRelease(fuzz::scratchDirectory() + "/release.pkg", signer, "2.0.0",
                                                  300 * 1024, published, error));
    }
    const std::string keyDirectory = fuzz::scratchDirectory() + "/keys";
    const std::string folder = fuzz::scratchDirectory() + "/fetch";
    const vex::pkg::Ed25519Key signer = fuzz::fixedKey(1);
    test_support::PublishedRelease published;
};

class Input
{
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t u16() { return uint32_t(byte()) << 8 | byte(); }
    std::string text(size_t length)
    {
        const size_t take = std::min(length, size_ - std::min(at_, size_));
        const std::string bytes(reinterpret_cast<const char*>(data_ + at_), take);
        at_ += take;
        return bytes;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path)
{
    boost::system::error_code ec;
    return boost::filesystem::exists(boost::filesystem::symlink_status(path, ec));
}

std::string EtagChoice(Input& input)
{
    switch (input.byte() % 4)
    {
        case 0:
            return kEtag;
        case 1:
            return "\"v2\"";
        case 2:
            return "";
        default:
            return input.text(input.byte() % 16);
    }
}

void SetHeader(ScriptedHttp::Answer& answer, const std::string& name, const std::string& value)
{
    auto& headers = answer.headers;
    headers.erase(
        std::remove_if(headers.begin(), headers.end(),
                       [&](const std::pair<std::string, std::string>& f) { return f.first == name; }),
        headers.end());
    if (!value.empty())
        headers.emplace_back(name, value);
}

// Bends the plain server's answer as the input says.
void Bend(Input& input, const std::string& package, ScriptedHttp::Answer& answer)
{
    if (input.empty())
        return;
    switch (input.byte() % 9)
    {
        case 1:  // cut
            answer.cutAfter = static_cast<long long>(input.u16() % (answer.body.size() + 1));
            break;
        case 2:  // a flipped byte
            if (!answer.body.empty())
                answer.body[input.u16() % answer.body.size()] ^= char(1 + input.byte() % 255);
            break;
        case 3:  // the whole file, ranges ignored
            answer.status = 200;
            answer.body = package;
            answer.headers.clear();
            SetHeader(answer, "ETag", EtagChoice(input));
            if (input.byte() % 2 == 0)
                answer.cutAfter = static_cast<long long>(input.u16() * 16 % (package.size() + 1));
            break;
        case 4:  // another ETag
            SetHeader(answer, "ETag", EtagChoice(input));
            break;
        case 5:  // another Content-Range
            SetHeader(answer, "Content-Range", input.text(input.byte() % 48));
            break;
        case 6:  // any status, fields and body
            answer.status = long(input.u16() % 600);
            SetHeader(answer, "Content-Range", input.text(input.byte() % 48));
            SetHeader(answer, "ETag", EtagChoice(input));
            answer.body = input.text(input.u16() % 4096);
            break;
        case 7:  // no answer
            answer.error = "connection refused";
            break;
        case 8:  // the body shifted: the right length, the wrong bytes
            if (!answer.body.empty())
            {
                const size_t from = input.u16() % package.size();
                answer.body = package.substr(from, answer.body.size());
            }
            break;
        default:  // as it is
            break;
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Setup setup;
    const std::string& package = setup.published.bytes;
    Input input(data, size);
    fuzz::emptyDirectory(setup.folder);

    vex::fleet::DownloadLimits limits;
    limits.requestBytes = uint64_t(1) << (10 + input.byte() % 10);  // 1 KiB to 512 KiB
    const uint8_t shape = input.byte();
    limits.attempts = 1 + shape % 4;
    limits.spareBytes = 0;
    const int calls = 1 + (shape >> 2) % 3;

    ScriptedHttp http;
    http.serve(kUrl, package, kEtag);
    size_t callStart = 0;
    http.fault = [&](const vex::fleet::HttpRequest&, size_t number, ScriptedHttp::Answer& answer)
    {
        FUZZ_REQUIRE(number - callStart < kMostRequestsPerCall);
        Bend(input, package, answer);
    };

    PackageDownloader downloader(http, setup.folder, setup.keyDirectory, limits);
    downloader.setFreeSpaceQuery(
        [](const std::string&, uint64_t& bytes)
        {
            bytes = uint64_t(1) << 30;
            return true;
        });
    const std::string part = setup.folder + "/" + PackageDownloader::kPartName;
    const std::string journal = setup.folder + "/" + PackageDownloader::kJournalName;
    for (int call = 0; call < calls; ++call)
    {
        callStart = http.requests.size();
        std::string path, why;
        const PackageDownloader::Outcome outcome =
            downloader.download(setup.published.release, kUrl, path, why,
                                [&](uint64_t checked, uint64_t total)
                                {
                                    FUZZ_REQUIRE(total == package.size());
                                    FUZZ_REQUIRE(checked <= total);
                                });
        if (outcome == PackageDownloader::Outcome::kComplete)
        {
            FUZZ_REQUIRE(why.empty());
            FUZZ_REQUIRE(ReadFile(path) == package);
            return 0;
        }
        FUZZ_REQUIRE(!why.empty());
        FUZZ_REQUIRE(path.empty());
        if (outcome == PackageDownloader::Outcome::kFailed)
        {
            FUZZ_REQUIRE(!Exists(part));
            FUZZ_REQUIRE(!Exists(journal));
        }
        else if (Exists(part))
        {
            const std::string held = ReadFile(part);
            FUZZ_REQUIRE(held.size() <= package.size());
            FUZZ_REQUIRE(held == package.substr(0, held.size()));
        }
    }
    return 0;
}
