#pragma once

#include "pkg/trust/IPkgVerifier.h"

namespace vex::pkg
{
// Security level 0: every package is accepted without reading it, whatever its lead-in holds.
class DoNothingVerifier : public IPkgVerifier
{
public:
    bool verify(IStreamReader* reader) override;
    int64_t bytesToProcess() override;
    int securityLevel() override;
};

}  // namespace vex::pkg
