#include "install/ScriptCopy.h"

#include "install/InstallEnvironment.h"
#include "instrument/DiskUtils.h"
#include "log/Log.h"

namespace vex::install
{
bool ScriptCopyIntact(const InstallEnvironment& env, const std::string& name,
                      const pkg::DataInfo::Digest& digest)
{
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t byte : digest)
    {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 0xF];
    }
    if (env.Disk().CheckFileMd5(env.ScriptFile(name), hex))
        return true;
    log::Detail("Script " + name + " is not the copy extracted from the package");
    return false;
}

}  // namespace vex::install
