#pragma once

#include "instrument/PartitionPaths.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vex::instrument
{
class CommandRunner;
}
namespace vex::instrument
{
class DiskUtils;
}
namespace vex::instrument
{
class PartitionsManager;
}
namespace vex::tar
{
class TarExtractorFactory;
}

namespace vex::install
{
// Condition id -> outcome of the conditional script that carries it.
using ConditionResults = std::map<int16_t, bool>;

// Where the engine's passes find the instrument: the eMMC root, the temporary folders scripts and lists go
// to, and the services that mount, run, stamp and extract. The defaults are the program's own; tests point
// the folders at a temporary directory and swap the services for fakes.
struct InstallEnvironment
{
    std::string emmcRoot = instrument::kEmmcRoot;
    std::string tmpDir = "/tmp";
    std::string scriptDir = "/tmp/script";
    // Null members mean the program's process-wide service.
    instrument::PartitionsManager* partitions = nullptr;
    instrument::DiskUtils* disk = nullptr;
    instrument::CommandRunner* runner = nullptr;
    tar::TarExtractorFactory* tarFactory = nullptr;
    // Flushes the file or directory open at `fd` (which `path` names) to its device; null means fsync. A test
    // may record the order of flushes.
    bool (*sync)(int fd, const std::string& path) = nullptr;

    instrument::PartitionsManager& Partitions() const;
    instrument::DiskUtils& Disk() const;
    instrument::CommandRunner& Runner() const;
    tar::TarExtractorFactory& TarFactory() const;
    bool Sync(int fd, const std::string& path) const;

    std::string TmpFile(const std::string& name) const { return tmpDir + "/" + name; }
    std::string ScriptFile(const std::string& name) const { return scriptDir + "/" + name; }
};

// The outcome of condition `id` for a pass that checks it before the installer does: -1 (no condition) always
// passes; an id that no conditional script carried logs "Unknown condition id N", sets `unknown` and fails.
bool ConditionPasses(const ConditionResults& results, int16_t id, bool& unknown);

// The same, setting a pass's `errorCode` to `unknownCode` for an unknown id.
template <typename Code>
bool ConditionPasses(const ConditionResults& results, int16_t id, Code& errorCode, Code unknownCode)
{
    bool unknown = false;
    const bool passes = ConditionPasses(results, id, unknown);
    if (unknown)
        errorCode = unknownCode;
    return passes;
}

}  // namespace vex::install
