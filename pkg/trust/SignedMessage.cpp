#include "pkg/trust/SignedMessage.h"

#include <openssl/evp.h>

#include <cstring>

namespace vex::pkg
{
bool SignedMessage(const char* context, const uint8_t* data, size_t length, std::vector<uint8_t>& message)
{
    const size_t contextSize = std::strlen(context);
    message.assign(context, context + contextSize);
    message.resize(contextSize + 64);
    unsigned int digestSize = 0;
    if (EVP_Digest(data, length, message.data() + contextSize, &digestSize, EVP_sha512(), nullptr) != 1 ||
        digestSize != 64)
    {
        message.clear();
        return false;
    }
    return true;
}

}  // namespace vex::pkg
