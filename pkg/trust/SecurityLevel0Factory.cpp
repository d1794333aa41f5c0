#include "pkg/trust/SecurityLevel0Factory.h"

#include "pkg/trust/DoNothingVerifier.h"
#include "pkg/trust/SecurityLevel0KeyProvider.h"

namespace vex::pkg
{
SecurityLevel0Factory& SecurityLevel0Factory::instance()
{
    static SecurityLevel0Factory factory;
    return factory;
}

std::unique_ptr<IPkgVerifier> SecurityLevel0Factory::createVerifier(base::InstallProgressNotifierInterface*)
{
    return std::unique_ptr<IPkgVerifier>(new DoNothingVerifier());
}

IKeyProvider* SecurityLevel0Factory::keyProvider()
{
    return &SecurityLevel0KeyProvider::instance();
}

}  // namespace vex::pkg
