#include "pkg/trust/SecurityLevel1Factory.h"

#include "pkg/trust/SecurityLevel0KeyProvider.h"
#include "pkg/trust/SignatureVerifier.h"

namespace vex::pkg
{
SecurityLevel1Factory::SecurityLevel1Factory(const std::string& keyDirectory) : keyDirectory_(keyDirectory) {}

std::unique_ptr<IPkgVerifier> SecurityLevel1Factory::createVerifier(
    base::InstallProgressNotifierInterface* notifier)
{
    return std::unique_ptr<IPkgVerifier>(new SignatureVerifier(keyDirectory_, notifier));
}

IKeyProvider* SecurityLevel1Factory::keyProvider()
{
    return &SecurityLevel0KeyProvider::instance();
}

}  // namespace vex::pkg
