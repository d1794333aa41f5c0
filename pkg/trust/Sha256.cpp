#include "pkg/trust/Sha256.h"

#include <openssl/evp.h>

namespace vex::pkg
{
namespace
{
// Fetched once: an implicit fetch on every init costs a lookup per block.
const EVP_MD* Sha256Method()
{
    static EVP_MD* method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return method;
}
}  // namespace

void Sha256::ContextFree::operator()(evp_md_ctx_st* context) const
{
    EVP_MD_CTX_free(context);
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {}

Sha256::~Sha256() = default;

bool Sha256::begin()
{
    return context_ && Sha256Method() != nullptr &&
           EVP_DigestInit_ex2(context_.get(), Sha256Method(), nullptr) == 1;
}

bool Sha256::update(const void* data, size_t length)
{
    return context_ && EVP_DigestUpdate(context_.get(), data, length) == 1;
}

bool Sha256::finish(Digest& digest)
{
    unsigned int length = 0;
    return context_ && EVP_DigestFinal_ex(context_.get(), digest.data(), &length) == 1 &&
           length == digest.size();
}

bool Sha256::digest(const void* data, size_t length, Digest& out)
{
    return begin() && update(data, length) && finish(out);
}

}  // namespace vex::pkg
