#pragma once

#include <memory>

namespace vex::base
{
class InstallProgressNotifierInterface;
}

namespace vex::pkg
{
class IKeyProvider;
class IPkgVerifier;

// What a security level decides: how a package is verified and which key decrypts its files.
class SecurityLevelFactory
{
public:
    virtual ~SecurityLevelFactory() = default;

    // A new verifier for one installation run; it may report progress through `notifier`.
    virtual std::unique_ptr<IPkgVerifier> createVerifier(
        base::InstallProgressNotifierInterface* notifier) = 0;
    // The key source of the file ciphers; not owned by the caller.
    virtual IKeyProvider* keyProvider() = 0;
};

}  // namespace vex::pkg
