#pragma once

#include "pkg/items/IPkgItem.h"

#include <cstdint>
#include <string>

namespace vex::pkg
{
// A symbolic link to create at `linkPath`, pointing at `linkTarget`.
class ItemLink : public IPkgItem
{
public:
    void accept(IPkgItemVisitor& visitor) override;

    const std::string& linkPath() const { return linkPath_; }
    void setLinkPath(const std::string& path) { linkPath_ = path; }
    const std::string& linkTarget() const { return linkTarget_; }
    void setLinkTarget(const std::string& target) { linkTarget_ = target; }
    uint16_t gid() const { return gid_; }
    void setGid(uint16_t gid) { gid_ = gid; }
    uint16_t uid() const { return uid_; }
    void setUid(uint16_t uid) { uid_ = uid; }
    // Non-zero: the target has to exist once the link is made.
    uint32_t targetMustExist() const { return targetMustExist_; }
    void setTargetMustExist(uint32_t flag) { targetMustExist_ = flag; }
    int16_t conditionId() const { return conditionId_; }
    void setConditionId(int16_t id) { conditionId_ = id; }

private:
    std::string linkPath_;
    std::string linkTarget_;
    uint16_t gid_ = 0;
    uint16_t uid_ = 0;
    uint32_t targetMustExist_ = 0;
    int16_t conditionId_ = -1;
};

}  // namespace vex::pkg
