#pragma once

#include <cstdint>
#include <string>

namespace vex::pkg
{
// What directories and files share: owner, permissions, attributes, condition and destination path.
// Permission bytes hold read in bit 0, write in bit 1 and execute in bit 2.
class ItemFileSystemEntry
{
public:
    ItemFileSystemEntry() = default;
    virtual ~ItemFileSystemEntry() = default;

    uint16_t uid() const { return uid_; }
    void setUid(uint16_t uid) { uid_ = uid; }
    uint16_t gid() const { return gid_; }
    void setGid(uint16_t gid) { gid_ = gid; }

    uint8_t ownerPermissions() const { return ownerPermissions_; }
    void setOwnerPermissions(uint8_t permissions) { ownerPermissions_ = permissions; }
    uint8_t groupPermissions() const { return groupPermissions_; }
    void setGroupPermissions(uint8_t permissions) { groupPermissions_ = permissions; }
    uint8_t otherPermissions() const { return otherPermissions_; }
    void setOtherPermissions(uint8_t permissions) { otherPermissions_ = permissions; }

    bool sticky() const { return sticky_; }
    void setSticky(bool on) { sticky_ = on; }
    bool setGroupId() const { return setGroupId_; }
    void setSetGroupId(bool on) { setGroupId_ = on; }
    bool setUserId() const { return setUserId_; }
    void setSetUserId(bool on) { setUserId_ = on; }

    bool fatArchive() const { return fatArchive_; }
    void setFatArchive(bool on) { fatArchive_ = on; }
    bool fatReadOnly() const { return fatReadOnly_; }
    void setFatReadOnly(bool on) { fatReadOnly_ = on; }
    bool fatSystem() const { return fatSystem_; }
    void setFatSystem(bool on) { fatSystem_ = on; }
    bool fatHidden() const { return fatHidden_; }
    void setFatHidden(bool on) { fatHidden_ = on; }

    int16_t conditionId() const { return conditionId_; }
    void setConditionId(int16_t id) { conditionId_ = id; }
    // Destination below the eMMC root.
    const std::string& path() const { return path_; }
    void setPath(const std::string& path) { path_ = path; }

    // The package's 16-bit mode word, split into the fields above and joined back.
    void setModeWord(uint16_t mode);
    uint16_t modeWord() const;

private:
    uint16_t uid_ = 0;
    uint16_t gid_ = 0;
    uint8_t ownerPermissions_ = 0;
    uint8_t groupPermissions_ = 0;
    uint8_t otherPermissions_ = 0;
    bool sticky_ = false;
    bool setGroupId_ = false;
    bool setUserId_ = false;
    bool fatArchive_ = false;
    bool fatReadOnly_ = false;
    bool fatSystem_ = false;
    bool fatHidden_ = false;
    int16_t conditionId_ = -1;
    std::string path_;
};

}  // namespace vex::pkg
