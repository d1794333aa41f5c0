#pragma once

#include "pkg/trust/IPkgVerifier.h"

#include <string>

namespace vex::base
{
class InstallProgressNotifierInterface;
}

namespace vex::pkg
{
// Accepts only a package whose last chunk is a valid signature, by a key of the trusted key directory, over
// every byte before it. The package is read once, front to back, through a fixed buffer, and its bytes are
// reported as progress. Every refusal leaves one detail line saying why.
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

private:
    bool check(IStreamReader* reader);
    bool refuse(const std::string& detail);

    std::string keyDirectory_;
    base::InstallProgressNotifierInterface* notifier_;
    int64_t bytesRead_ = 0;
    std::string detail_;
};

}  // namespace vex::pkg
