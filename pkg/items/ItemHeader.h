#pragma once

#include "pkg/items/CompatibilityEntry.h"
#include "pkg/items/IPkgItem.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vex::pkg
{
// The package header: versions of the library that built the package, the package type and the
// compatibility list, creation date and time, and texts that are carried but not acted on.
class ItemHeader : public IPkgItem
{
public:
    // Until a header has been read the package type is none of the accepted ones.
    static constexpr uint32_t kNoPackageType = 255;

    void accept(IPkgItemVisitor& visitor) override;

    size_t compatibilityCount() const { return compatibility_.size(); }
    const CompatibilityEntry& compatibilityAt(size_t index) const { return compatibility_.at(index); }
    const std::vector<CompatibilityEntry>& compatibility() const { return compatibility_; }
    void addCompatibility(const CompatibilityEntry& entry) { compatibility_.push_back(entry); }

    const std::string& text1() const { return text1_; }
    void setText1(const std::string& text) { text1_ = text; }
    const std::string& text2() const { return text2_; }
    void setText2(const std::string& text) { text2_ = text; }
    const std::string& creationDate() const { return creationDate_; }
    void setCreationDate(const std::string& text) { creationDate_ = text; }
    const std::string& creationTime() const { return creationTime_; }
    void setCreationTime(const std::string& text) { creationTime_ = text; }
    const std::string& text5() const { return text5_; }
    void setText5(const std::string& text) { text5_ = text; }
    const std::string& text6() const { return text6_; }
    void setText6(const std::string& text) { text6_ = text; }

    bool headerFlag() const { return headerFlag_; }
    void setHeaderFlag(bool on) { headerFlag_ = on; }
    uint8_t headerFlagValue() const { return headerFlagValue_; }
    void setHeaderFlagValue(uint8_t value) { headerFlagValue_ = value; }
    uint8_t installMajor() const { return installMajor_; }
    void setInstallMajor(uint8_t value) { installMajor_ = value; }
    uint8_t installMinor() const { return installMinor_; }
    void setInstallMinor(uint8_t value) { installMinor_ = value; }
    uint8_t versionA() const { return versionA_; }
    void setVersionA(uint8_t value) { versionA_ = value; }
    uint8_t versionB() const { return versionB_; }
    void setVersionB(uint8_t value) { versionB_ = value; }
    uint32_t packageType() const { return packageType_; }
    void setPackageType(uint32_t type) { packageType_ = type; }

private:
    std::vector<CompatibilityEntry> compatibility_;
    std::string text1_;
    std::string creationDate_;
    std::string text6_;
    std::string creationTime_;
    std::string text2_;
    std::string text5_;
    bool headerFlag_ = false;
    uint8_t headerFlagValue_ = 0;
    uint8_t installMajor_ = 0;
    uint8_t installMinor_ = 0;
    uint8_t versionA_ = 0;
    uint8_t versionB_ = 0;
    uint32_t packageType_ = kNoPackageType;
};

}  // namespace vex::pkg
