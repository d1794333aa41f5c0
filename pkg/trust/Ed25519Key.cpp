#include "pkg/trust/Ed25519Key.h"

#include "base/UniqueFile.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>

namespace vex::pkg
{
namespace
{
struct MdCtxFree
{
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
}  // namespace

void Ed25519Key::KeyFree::operator()(evp_pkey_st* key) const
{
    EVP_PKEY_free(key);
}

Ed25519Key::Ed25519Key() = default;
Ed25519Key::~Ed25519Key() = default;
Ed25519Key::Ed25519Key(Ed25519Key&&) noexcept = default;
Ed25519Key& Ed25519Key::operator=(Ed25519Key&&) noexcept = default;

Ed25519Key::Ed25519Key(evp_pkey_st* key)
{
    adopt(key);
}

bool Ed25519Key::adopt(evp_pkey_st* key)
{
    std::unique_ptr<evp_pkey_st, KeyFree> owned(key);
    key_.reset();
    keyId_.fill(0);
    if (!owned || EVP_PKEY_id(owned.get()) != EVP_PKEY_ED25519)
    {
        return false;
    }
    // The identifier is derived from the raw public key, so the private and the public file of one pair
    // name the same key.
    uint8_t raw[32];
    size_t rawLength = sizeof raw;
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_PKEY_get_raw_public_key(owned.get(), raw, &rawLength) != 1 ||
        EVP_Digest(raw, rawLength, digest, &digestLength, EVP_sha256(), nullptr) != 1 ||
        digestLength < keyId_.size())
    {
        return false;
    }
    std::copy(digest, digest + keyId_.size(), keyId_.begin());
    key_ = std::move(owned);
    return true;
}

bool Ed25519Key::loadPublicPem(const std::string& path)
{
    base::UniqueFile file(std::fopen(path.c_str(), "rb"));
    return file && adopt(PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr));
}

bool Ed25519Key::loadPrivatePem(const std::string& path)
{
    base::UniqueFile file(std::fopen(path.c_str(), "rb"));
    // No passphrase callback: an encrypted key file fails instead of prompting on a terminal.
    static char empty[] = "";
    return file && adopt(PEM_read_PrivateKey(file.get(), nullptr, nullptr, empty));
}

bool Ed25519Key::verify(const uint8_t* message, size_t length, const Signature& signature) const
{
    if (!key_)
    {
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message, length) == 1;
}

std::string Ed25519Key::hex(const uint8_t* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i)
    {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

}  // namespace vex::pkg
