#include "SecurityLevel1Factory.h"

#include "SecurityLevel0KeyProvider.h"
#include "SignatureVerifier.h"

SecurityLevel1Factory::SecurityLevel1Factory(const std::string& keyDirectory) : keyDirectory_(keyDirectory) {}

std::unique_ptr<IPkgVerifier> SecurityLevel1Factory::createVerifier(
    InstallProgressNotifierInterface* notifier)
{
    return std::unique_ptr<IPkgVerifier>(new SignatureVerifier(keyDirectory_, notifier));
}

IKeyProvider* SecurityLevel1Factory::keyProvider()
{
    return &SecurityLevel0KeyProvider::instance();
}
