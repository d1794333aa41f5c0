#include "DoNothingVerifier.h"

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
