#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

struct evp_md_ctx_st;

namespace vex::pkg
{
// SHA-256 through OpenSSL's libcrypto, the block digest of signed indexes. One object hashes one message
// after another, reusing its context. Failures (which OpenSSL reports only on allocation) are false.
class Sha256
{
public:
    using Digest = std::array<uint8_t, 32>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    bool begin();
    bool update(const void* data, size_t length);
    bool finish(Digest& digest);
    // begin, update and finish in one.
    bool digest(const void* data, size_t length, Digest& digest);

private:
    struct ContextFree
    {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextFree> context_;
};

}  // namespace vex::pkg
