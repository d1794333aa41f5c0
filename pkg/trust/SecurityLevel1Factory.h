#pragma once

#include "pkg/trust/SecurityLevelFactory.h"

#include <string>

namespace vex::pkg
{
// Security level 1, for instruments that hold trusted keys: only packages signed by one of them install.
// Files decrypt with the same key as at level 0.
class SecurityLevel1Factory : public SecurityLevelFactory
{
public:
    explicit SecurityLevel1Factory(const std::string& keyDirectory);

    std::unique_ptr<IPkgVerifier> createVerifier(base::InstallProgressNotifierInterface* notifier) override;
    IKeyProvider* keyProvider() override;

    const std::string& keyDirectory() const { return keyDirectory_; }

private:
    std::string keyDirectory_;
};

}  // namespace vex::pkg
