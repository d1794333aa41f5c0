#pragma once

#include "pkg/trust/IKeyProvider.h"

namespace vex::pkg
{
// The key compiled into the program for security level 0. One instance per process.
class SecurityLevel0KeyProvider : public IKeyProvider
{
public:
    static SecurityLevel0KeyProvider& instance();

    const unsigned char* key() override;
    int keyLength() override;

    SecurityLevel0KeyProvider(const SecurityLevel0KeyProvider&) = delete;
    SecurityLevel0KeyProvider& operator=(const SecurityLevel0KeyProvider&) = delete;

private:
    SecurityLevel0KeyProvider() = default;
    ~SecurityLevel0KeyProvider() = default;
};

}  // namespace vex::pkg
