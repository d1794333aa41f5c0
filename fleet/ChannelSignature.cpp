#include "fleet/ChannelSignature.h"

#include "pkg/trust/SignedMessage.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace vex::fleet
{
bool ChannelSignature::message(const std::string& document, std::vector<uint8_t>& message)
{
    return pkg::SignedMessage(kContext, reinterpret_cast<const uint8_t*>(document.data()), document.size(),
                              message);
}

bool ChannelSignature::sign(const std::string& document, const pkg::Ed25519Key& key, std::string& signature,
                            std::string& why)
{
    std::vector<uint8_t> signed_;
    if (!key.valid() || !message(document, signed_))
    {
        why = "the channel document cannot be signed: no key, or its digest failed";
        return false;
    }
    pkg::Ed25519Key::Signature value{};
    size_t length = value.size();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.handle()) != 1 ||
        EVP_DigestSign(context.get(), value.data(), &length, signed_.data(), signed_.size()) != 1 ||
        length != value.size())
    {
        why = "the channel document cannot be signed with this key (a private Ed25519 key is needed)";
        return false;
    }
    signature.assign(kMarker, kMarkerSize);
    signature.append(reinterpret_cast<const char*>(key.keyId().data()), key.keyId().size());
    signature.append(reinterpret_cast<const char*>(value.data()), value.size());
    return true;
}

bool ChannelSignature::read(const std::string& bytes, pkg::Ed25519Key::KeyId& keyId,
                            pkg::Ed25519Key::Signature& value)
{
    if (bytes.size() != kSize || bytes.compare(0, kMarkerSize, kMarker) != 0)
        return false;
    const auto* at = reinterpret_cast<const uint8_t*>(bytes.data()) + kMarkerSize;
    std::copy(at, at + keyId.size(), keyId.begin());
    at += keyId.size();
    std::copy(at, at + value.size(), value.begin());
    return true;
}

}  // namespace vex::fleet
