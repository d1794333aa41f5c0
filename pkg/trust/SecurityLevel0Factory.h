#pragma once

#include "pkg/trust/SecurityLevelFactory.h"

namespace vex::pkg
{
// The program's one security level: packages are accepted as they are, files decrypt with the built-in key.
class SecurityLevel0Factory : public SecurityLevelFactory
{
public:
    static SecurityLevel0Factory& instance();

    std::unique_ptr<IPkgVerifier> createVerifier(base::InstallProgressNotifierInterface* notifier) override;
    IKeyProvider* keyProvider() override;

    SecurityLevel0Factory(const SecurityLevel0Factory&) = delete;
    SecurityLevel0Factory& operator=(const SecurityLevel0Factory&) = delete;

private:
    SecurityLevel0Factory() = default;
    ~SecurityLevel0Factory() override = default;
};

}  // namespace vex::pkg
