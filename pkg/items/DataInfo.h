#pragma once

#include "pkg/read/PackageFormat.h"

#include <array>
#include <cstdint>
#include <memory>

namespace vex::pkg
{
class IStreamReader;

// The data an item carries: the MD5 digest of the data as installed (after any decoding) and the window onto
// the package through which that data is read on demand. The window is owned; the package reader under it
// is not, so the data can be read only while the loader that made the item is alive.
class DataInfo
{
public:
    using Digest = std::array<uint8_t, PackageFormat::kDigestSize>;

    DataInfo();
    ~DataInfo();
    DataInfo(const DataInfo&) = delete;
    DataInfo& operator=(const DataInfo&) = delete;

    const Digest& digest() const { return digest_; }
    void setDigest(const uint8_t* bytes);
    void setDigest(const Digest& digest) { digest_ = digest; }

    // Null when the item has no data.
    IStreamReader* reader() const { return reader_.get(); }
    // Takes ownership; any previous window is destroyed.
    void setReader(IStreamReader* reader);

private:
    Digest digest_;
    std::unique_ptr<IStreamReader> reader_;
};

}  // namespace vex::pkg
