#include "pkg/decode/BlockCipherStrategy.h"

#include "pkg/decode/CBlowFish.h"
#include "pkg/decode/CDes.h"
#include "pkg/decode/CbcSegment.h"
#include "pkg/read/PackageFormat.h"
#include "pkg/trust/IKeyProvider.h"
#include "pkg/trust/SecurityLevel0Factory.h"

namespace vex::pkg
{
namespace
{
// Both ciphers take exactly 8 key bytes here, whatever longer key a provider might hold.
const int kCipherKeyLength = 8;
}  // namespace

BlockCipherStrategy::BlockCipherStrategy(int cipherType)
    : BlockCipherStrategy(cipherType, SecurityLevel0Factory::instance().keyProvider())
{
}

BlockCipherStrategy::BlockCipherStrategy(int cipherType, IKeyProvider* keys)
{
    if (keys == nullptr || keys->key() == nullptr)
    {
        return;
    }
    const int length = keys->keyLength();
    // A shorter key would make the ciphers read past its end; such a provider yields no cipher.
    if (length < kCipherKeyLength)
    {
        return;
    }
    key_.assign(keys->key(), keys->key() + length);

    switch (cipherType)
    {
        case PackageFormat::kCipherBlowfish:
            cipher_.reset(new CBlowFish(key_.data(), kCipherKeyLength));
            break;
        case PackageFormat::kCipherDes:
            cipher_.reset(new CDes(key_.data()));
            break;
        default:
            break;
    }
}

BlockCipherStrategy::~BlockCipherStrategy() = default;

int64_t BlockCipherStrategy::bufferSize()
{
    return CbcSegment::kMaxSegmentLength;
}

}  // namespace vex::pkg
