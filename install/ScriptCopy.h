#pragma once

#include "pkg/items/DataInfo.h"

#include <string>

namespace vex::install
{
struct InstallEnvironment;

// A package's scripts run from the installer's own copies in its script folder, written by the scripts pass
// and checked then against the digest the package records (itself checked against the signed index). A
// copy runs much later than that (post.sh after every item is installed), so it is checked again right
// before it runs: what runs is what the package held. False, with a detail line, when the copy is missing
// or is no longer what was extracted.
bool ScriptCopyIntact(const InstallEnvironment& env, const std::string& name,
                      const pkg::DataInfo::Digest& digest);

}  // namespace vex::install
