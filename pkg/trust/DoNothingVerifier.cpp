#include "pkg/trust/DoNothingVerifier.h"

namespace vex::pkg
{
bool DoNothingVerifier::verify(IStreamReader*)
{
    return true;
}

int64_t DoNothingVerifier::bytesToProcess()
{
    return 0;
}

int DoNothingVerifier::securityLevel()
{
    return 0;
}

std::string DoNothingVerifier::resultDetail()
{
    return "    Package not authenticated: this instrument is at security level 0.";
}

}  // namespace vex::pkg
