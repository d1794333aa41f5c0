#pragma once

#include "pkg/trust/IPkgVerifier.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vex::base
{
class InstallProgressNotifierInterface;
}

namespace vex::pkg
{
// Accepts only a package that starts with a signed index whose signature is by a key of the trusted key
// directory. Only the lead-in, the index and the signature are read here; the index then lets the loader
// check every later byte as it is read for use. A package signed the old way, with the signature at its
// end, is refused: it could only be checked by reading it whole before use, and a medium may serve other
// bytes on the next read. Every refusal leaves one detail line saying why.
class SignatureVerifier : public IPkgVerifier
{
public:
    static constexpr size_t kBufferSize = size_t(1) << 20;

    // `notifier` is not owned and may be null.
    SignatureVerifier(const std::string& keyDirectory, base::InstallProgressNotifierInterface* notifier);

    bool verify(IStreamReader* reader) override;
    int64_t bytesToProcess() override { return bytesRead_; }
    int securityLevel() override { return 1; }
    std::string resultDetail() override { return detail_; }
    std::shared_ptr<const PackageIndex> signedIndex() override { return index_; }

private:
    bool check(IStreamReader* reader);
    bool refuse(const std::string& detail);
    // Reads `length` bytes at `offset` into `bytes`; false when the stream has fewer.
    bool readAt(IStreamReader& reader, int64_t offset, int64_t length, std::vector<uint8_t>& bytes);

    std::string keyDirectory_;
    base::InstallProgressNotifierInterface* notifier_;
    int64_t bytesRead_ = 0;
    std::string detail_;
    std::shared_ptr<const PackageIndex> index_;
};

}  // namespace vex::pkg
