#include "SecurityLevel0Factory.h"

#include "DoNothingVerifier.h"
#include "SecurityLevel0KeyProvider.h"

SecurityLevel0Factory& SecurityLevel0Factory::instance()
{
    static SecurityLevel0Factory factory;
    return factory;
}

std::unique_ptr<IPkgVerifier> SecurityLevel0Factory::createVerifier(InstallProgressNotifierInterface*)
{
    return std::unique_ptr<IPkgVerifier>(new DoNothingVerifier());
}

IKeyProvider* SecurityLevel0Factory::keyProvider()
{
    return &SecurityLevel0KeyProvider::instance();
}
