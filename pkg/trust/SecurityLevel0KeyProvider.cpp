#include "pkg/trust/SecurityLevel0KeyProvider.h"

namespace vex::pkg
{
namespace
{
const unsigned char kLevel0Key[8] = {0x3A, 0x9D, 0x04, 0xE2, 0x7B, 0x51, 0xC8, 0x06};
}

SecurityLevel0KeyProvider& SecurityLevel0KeyProvider::instance()
{
    static SecurityLevel0KeyProvider provider;
    return provider;
}

const unsigned char* SecurityLevel0KeyProvider::key()
{
    return kLevel0Key;
}

int SecurityLevel0KeyProvider::keyLength()
{
    return static_cast<int>(sizeof kLevel0Key);
}

}  // namespace vex::pkg
