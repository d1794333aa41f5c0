#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vex::pkg
{
class IStreamReader;
class PackageIndex;

// Checks a whole package once it is opened, before any item is read. How strict it is depends on the
// security level that supplied it.
class IPkgVerifier
{
public:
    virtual ~IPkgVerifier() = default;

    // `reader` is the package stream, positioned anywhere; the verifier may move it (the loader seeks past
    // the lead-in afterwards).
    virtual bool verify(IStreamReader* reader) = 0;
    // Bytes the verification reads, counted into the run's progress total.
    virtual int64_t bytesToProcess() = 0;
    // The security level the verifier enforces.
    virtual int securityLevel() = 0;
    // One log line, four spaces in, that the loader writes after "Done." or "Failed." (why a package was
    // refused, who signed it); empty for none.
    virtual std::string resultDetail() { return std::string(); }
    // After a successful verify: the package's signed index, against which every later byte is checked as
    // it is read; null where the verifier vouches for no index (the package is then read as it is).
    virtual std::shared_ptr<const PackageIndex> signedIndex() { return nullptr; }
};

}  // namespace vex::pkg
