#pragma once

#include "pkg/items/DataInfo.h"
#include "pkg/items/IPkgItem.h"
#include "pkg/items/ItemFileSystemEntry.h"

#include <cstdint>
#include <string>

namespace vex::pkg
{
// A file to install. Its data is stored plain, encrypted or compressed; the digest covers the bytes as
// installed, after decoding.
class ItemFile : public IPkgItem, public ItemFileSystemEntry
{
public:
    void accept(IPkgItemVisitor& visitor) override;

    ItemFileSystemEntry& entry() { return *this; }
    const ItemFileSystemEntry& entry() const { return *this; }

    uint32_t installedSize() const { return installedSize_; }
    void setInstalledSize(uint32_t size) { installedSize_ = size; }
    // 0 none, 1 Blowfish, 2 DES.
    uint32_t cipherType() const { return cipherType_; }
    void setCipherType(uint32_t type) { cipherType_ = type; }
    // 0 none, 1 Qt-framed zlib sub-chunks.
    uint32_t compression() const { return compression_; }
    void setCompression(uint32_t compression) { compression_ = compression; }
    const std::string& fileDate() const { return fileDate_; }
    void setFileDate(const std::string& date) { fileDate_ = date; }
    const std::string& fileTime() const { return fileTime_; }
    void setFileTime(const std::string& time) { fileTime_ = time; }
    DataInfo& dataInfo() { return dataInfo_; }
    const DataInfo& dataInfo() const { return dataInfo_; }

private:
    uint32_t installedSize_ = 0;
    uint32_t cipherType_ = 0;
    uint32_t compression_ = 0;
    std::string fileDate_;
    std::string fileTime_;
    DataInfo dataInfo_;
};

}  // namespace vex::pkg
