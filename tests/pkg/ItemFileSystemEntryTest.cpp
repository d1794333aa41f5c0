#include "pkg/items/ItemFileSystemEntry.h"

#include <gtest/gtest.h>

using namespace vex::pkg;

namespace
{
struct ModeCase
{
    uint16_t mode;
    uint8_t owner, group, others;
    bool sticky, setGid, setUid, archive, readOnly, system, hidden;
};
}  // namespace

// Read is the lowest bit of each permission group, the reverse of the usual octal order: mixing the two up
// would install "others may execute" for "others may read".
TEST(ItemFileSystemEntryTest, ModeWordSplitsIntoPermissionsAndFlags)
{
    const ModeCase cases[] = {
        {0x0000, 0, 0, 0, false, false, false, false, false, false, false},
        {0x01FF, 7, 7, 7, false, false, false, false, false, false, false},
        {0x0001, 0, 0, 1, false, false, false, false, false, false, false},
        {0x0004, 0, 0, 4, false, false, false, false, false, false, false},
        {0x0008, 0, 1, 0, false, false, false, false, false, false, false},
        {0x0040, 1, 0, 0, false, false, false, false, false, false, false},
        {0x0100, 4, 0, 0, false, false, false, false, false, false, false},
        {0x0E00, 0, 0, 0, true, true, true, false, false, false, false},
        {0x0200, 0, 0, 0, true, false, false, false, false, false, false},
        {0x0400, 0, 0, 0, false, true, false, false, false, false, false},
        {0x0800, 0, 0, 0, false, false, true, false, false, false, false},
        {0xF000, 0, 0, 0, false, false, false, true, true, true, true},
        {0x1000, 0, 0, 0, false, false, false, true, false, false, false},
        {0x2000, 0, 0, 0, false, false, false, false, true, false, false},
        {0x4000, 0, 0, 0, false, false, false, false, false, true, false},
        {0x8000, 0, 0, 0, false, false, false, false, false, false, true},
    };
    for (const ModeCase& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << c.mode);
        ItemFileSystemEntry entry;
        entry.setModeWord(c.mode);
        EXPECT_EQ(c.owner, entry.ownerPermissions());
        EXPECT_EQ(c.group, entry.groupPermissions());
        EXPECT_EQ(c.others, entry.otherPermissions());
        EXPECT_EQ(c.sticky, entry.sticky());
        EXPECT_EQ(c.setGid, entry.setGroupId());
        EXPECT_EQ(c.setUid, entry.setUserId());
        EXPECT_EQ(c.archive, entry.fatArchive());
        EXPECT_EQ(c.readOnly, entry.fatReadOnly());
        EXPECT_EQ(c.system, entry.fatSystem());
        EXPECT_EQ(c.hidden, entry.fatHidden());
    }
}

TEST(ItemFileSystemEntryTest, EveryModeWordSurvivesARoundTrip)
{
    for (unsigned mode = 0; mode <= 0xFFFF; ++mode)
    {
        ItemFileSystemEntry entry;
        entry.setModeWord(static_cast<uint16_t>(mode));
        ASSERT_EQ(mode, entry.modeWord());
    }
}
