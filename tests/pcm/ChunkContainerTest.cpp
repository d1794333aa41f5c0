#include "pcm/CChunkBlock.h"
#include "pcm/CImageStr.h"
#include "tests/pcm/PcmFileBuilder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace pcm;
using namespace pcmtest;

namespace
{
Bytes oneDataChild(bool storeSeekTable = false)
{
    return writeFile([](CMemoryChunk& root) { addData(root, kDataId, {0xAA, 0xBB}); }, storeSeekTable);
}

Bytes threeDataChildren(bool storeSeekTable)
{
    return writeFile(
        [](CMemoryChunk& root)
        {
            addData(root, kDataId, {1});
            addData(root, kDataId, {2, 2});
            addData(root, kDataId, {3, 3, 3});
        },
        storeSeekTable);
}

uint8_t firstPayloadByte(CChunkBase& parent)
{
    CChunk* child = nullptr;
    if (!parent.nextChild(child))
        return 0;
    uint8_t value = 0;
    child->readU8(value);
    parent.releaseChild(child);
    return value;
}
}  // namespace

// The exact bytes catch a byte-order or header-layout mistake that reader and writer would share.
TEST(ChunkWriter, WritesHeadersInfoRecordAndSizesBigEndian)
{
    const Bytes expected = {
        0x01, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x1E,  // root, payload 30
        0x02, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x0C,  // info chunk, payload 12
        0x0B, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 't',  'e',  's',
        't',  0x00,                                                  // L=11, K=0, descriptors, name
        0x20, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB,  // data child
    };
    EXPECT_EQ(oneDataChild(), expected);
}

TEST(ChunkRoot, AcceptsWrittenFileAndReadsItsInfoRecord)
{
    Bytes file = oneDataChild();
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    ASSERT_EQ(root.state(), ChunkState::Reading);
    EXPECT_EQ(root.info().name(), "test");
    EXPECT_EQ(root.info().descriptors(), (std::array<uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(root.firstChildPosition(), 28);
    EXPECT_EQ(firstPayloadByte(root), 0xAA);
    EXPECT_EQ(root.callerChildCount(), 1u);
    EXPECT_EQ(root.finishPayload(), 1);
}

struct RootDamage
{
    const char* what;
    std::function<void(Bytes&)> damage;
};

static void PrintTo(const RootDamage& value, std::ostream* out)
{
    *out << value.what;
}

class ChunkRootRejects : public testing::TestWithParam<RootDamage>
{
};

TEST_P(ChunkRootRejects, LeavesRootClosed)
{
    Bytes file = oneDataChild();
    GetParam().damage(file);
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    EXPECT_EQ(root.state(), ChunkState::Closed) << GetParam().what;
    CChunk* child = nullptr;
    EXPECT_EQ(root.nextChild(child), 0);
    EXPECT_EQ(child, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, ChunkRootRejects,
    testing::Values(RootDamage{"shorter than a header", [](Bytes& f) { f.resize(7); }},
                    RootDamage{"flags bit 0", [](Bytes& f) { f[3] |= 0x01; }},
                    RootDamage{"flags bit 7", [](Bytes& f) { f[3] |= 0x80; }},
                    RootDamage{"wrong type", [](Bytes& f) { f[0] = 0x02; }},
                    RootDamage{"wrong version", [](Bytes& f) { f[1] = 0x01; }},
                    RootDamage{"unknown variant", [](Bytes& f) { f[2] = 0x02; }},
                    RootDamage{"data flag on the root", [](Bytes& f) { f[3] = 0x1C; }},
                    RootDamage{"payload of 14 bytes", [](Bytes& f) { put32(f, 4, 14); }},
                    RootDamage{"first child is not the info chunk", [](Bytes& f) { f[8] = 0x05; }},
                    RootDamage{"info chunk without data flag", [](Bytes& f) { f[11] = 0x10; }},
                    RootDamage{"info record shorter than its key", [](Bytes& f) { f[16] = 5; }},
                    RootDamage{"info record past its chunk", [](Bytes& f) { f[16] = 12; }},
                    RootDamage{"info chunk larger than the root", [](Bytes& f) { put32(f, 12, 30); }},
                    RootDamage{"only the root header", [](Bytes& f) { f.resize(8); }}),
    [](const auto& param) { return caseName(param.param.what); });

TEST(ChunkEnumeration, SevenTrailingBytesEndTheChildrenWithoutError)
{
    Bytes file = oneDataChild();
    file.insert(file.end(), 7, 0);
    put32(file, 4, get32(file, 4) + 7);
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    ASSERT_EQ(root.state(), ChunkState::Reading);
    EXPECT_EQ(firstPayloadByte(root), 0xAA);
    CChunk* child = nullptr;
    EXPECT_EQ(root.nextChild(child), 0);
    EXPECT_EQ(root.state(), ChunkState::Reading);

    // One byte more is a whole (empty) header: a further child, not the end.
    Bytes longer = oneDataChild();
    longer.insert(longer.end(), 8, 0);
    put32(longer, 4, get32(longer, 4) + 8);
    CMemoryChunk root2(longer.data(), longer.size(), CMemoryOwnership::Borrow);
    firstPayloadByte(root2);
    ASSERT_EQ(root2.nextChild(child), 1);
    EXPECT_EQ(child->size(), 0u);
    EXPECT_EQ(root2.releaseChild(child), 1);
}

TEST(ChunkEnumeration, ChildLargerThanParentPayloadFailsParent)
{
    Bytes file = oneDataChild();
    put32(file, firstChildOffset(file) + 4, get32(file, 4) - 7);  // size + 8 exceeds the root's payload
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    ASSERT_EQ(root.state(), ChunkState::Reading);
    CChunk* child = nullptr;
    EXPECT_EQ(root.nextChild(child), 0);
    EXPECT_EQ(root.state(), ChunkState::Failed);
}

TEST(ChunkEnumeration, InvalidChildHeaderFailsParent)
{
    Bytes file = oneDataChild();
    file[firstChildOffset(file) + 3] |= 0x80;
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    CChunk* child = nullptr;
    EXPECT_EQ(root.nextChild(child), 0);
    EXPECT_TRUE(root.isFailed());
}

TEST(ChunkEnumeration, NestedChildrenGetIndexDepthAndSkipUnreadPayload)
{
    Bytes file = writeFile(
        [](CMemoryChunk& root)
        {
            addContainer(root, kContainerId,
                         [](CChunk& c)
                         {
                             addData(c, kDataId, {1, 1, 1, 1});
                             addData(c, kDataId, {2});
                         });
            addData(root, kDataId, {3});
        });
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    CChunk* container = nullptr;
    ASSERT_EQ(root.nextChild(container), 1);
    EXPECT_EQ(container->depth(), 1);
    CChunk* child = nullptr;
    ASSERT_EQ(container->nextChild(child), 1);
    EXPECT_EQ(child->depth(), 2);
    EXPECT_EQ(child->childIndex(), 1);
    uint8_t value = 0;
    child->readU8(value);  // three bytes left unread
    EXPECT_EQ(container->releaseChild(child), 1);
    EXPECT_EQ(firstPayloadByte(*container), 2);
    EXPECT_EQ(container->nextChild(child), 0);
    EXPECT_EQ(container->childCount(), 2u);
    EXPECT_EQ(root.releaseChild(container), 1);
    EXPECT_EQ(container, nullptr);
    EXPECT_EQ(firstPayloadByte(root), 3);
    EXPECT_EQ(root.callerChildCount(), 2u);
}

TEST(ChunkEnumeration, DataChunkHasNoChildren)
{
    Bytes file = writeFile([](CMemoryChunk& root) { addData(root, kDataId, Bytes(16, 0)); });
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    CChunk* data = nullptr;
    ASSERT_EQ(root.nextChild(data), 1);
    CChunk* child = nullptr;
    EXPECT_EQ(data->nextChild(child), 0);
    EXPECT_TRUE(data->isFailed());
    EXPECT_EQ(root.releaseChild(data), 0);
    EXPECT_TRUE(root.isFailed());
}

TEST(ChunkPrimitives, ReadBackWhatWasWritten)
{
    Bytes file = writeFile(
        [](CMemoryChunk& root)
        {
            CChunk* c = nullptr;
            ASSERT_EQ(root.createChild(kDataId, c), 1);
            c->writeBool(true).writeU8(0xFE).writeS8(-2).writeChar('x').writeS16(-300).writeU16(0xBEEF);
            c->writeS32(-70000)
                .writeU32(0xDEADBEEF)
                .writeWideChar(u'\u00E9')
                .writeText("ab")
                .writeWideText(u"cd");
            ASSERT_FALSE(c->isFailed());
            ASSERT_EQ(root.releaseChild(c), 1);
        });
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    CChunk* c = nullptr;
    ASSERT_EQ(root.nextChild(c), 1);
    EXPECT_EQ(c->size(), 1u + 1 + 1 + 1 + 2 + 2 + 4 + 4 + 4 + 3 + 12);
    bool b = false;
    uint8_t u8 = 0;
    int8_t s8 = 0;
    char ch = 0;
    int16_t s16 = 0;
    uint16_t u16 = 0;
    long s32 = 0;
    uint32_t u32 = 0;
    char16_t wide = 0;
    std::string text;
    std::u16string wideText;
    c->readBool(b).readU8(u8).readS8(s8).readChar(ch).readS16(s16).readU16(u16).readS32(s32).readU32(u32);
    c->readWideChar(wide).readText(text).readWideText(wideText);
    EXPECT_TRUE(b);
    EXPECT_EQ(u8, 0xFE);
    EXPECT_EQ(s8, -2);
    EXPECT_EQ(ch, 'x');
    EXPECT_EQ(s16, -300);
    EXPECT_EQ(u16, 0xBEEF);
    EXPECT_EQ(s32, -70000);
    EXPECT_EQ(u32, 0xDEADBEEFu);
    EXPECT_EQ(wide, u'\u00E9');
    EXPECT_EQ(text, "ab");
    EXPECT_EQ(wideText, u"cd");
    EXPECT_EQ(c->remaining(), 0);
    EXPECT_EQ(c->state(), ChunkState::Reading);
}

TEST(ChunkPrimitives, ShortReadsLeaveOutputAloneAndTextsStopAtTheEnd)
{
    Bytes file = writeFile([](CMemoryChunk& root) { addData(root, kDataId, {'h', 'i', 0, 'y', 'o', 'u'}); });
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    CChunk* c = nullptr;
    ASSERT_EQ(root.nextChild(c), 1);
    std::string text = "old";
    c->readText(text);
    EXPECT_EQ(text, "hi");
    uint32_t value = 42;
    c->readU32(value);  // three bytes left
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(c->state(), ChunkState::Reading);
    c->readText(text);
    EXPECT_EQ(text, "you");
    uint8_t byte = 7;
    c->readU8(byte);
    EXPECT_EQ(byte, 7);
    EXPECT_EQ(c->skipBytes(10), 0u);
    EXPECT_EQ(root.releaseChild(c), 1);
}

// Two data chunks: five bytes 1..5, then the single byte 9.
static Bytes fiveThenNine()
{
    return writeFile(
        [](CMemoryChunk& root)
        {
            addData(root, kDataId, {1, 2, 3, 4, 5});
            addData(root, kDataId, {9});
        });
}

TEST(ChunkPrimitives, SkipAndReadBytesStopAtThePayloadEnd)
{
    Bytes file = fiveThenNine();
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    CChunk* c = nullptr;
    ASSERT_EQ(root.nextChild(c), 1);
    EXPECT_EQ(c->skipBytes(2), 2u);
    uint8_t buffer[16] = {};
    EXPECT_EQ(c->readBytes(buffer, sizeof buffer), 3u);
    EXPECT_EQ(buffer[0], 3);
    EXPECT_EQ(buffer[2], 5);
    EXPECT_EQ(buffer[3], 0);
    root.releaseChild(c);
    EXPECT_EQ(firstPayloadByte(root), 9);
}

// The largest counts (SIZE_MAX is 32 bits on the instrument, 64 on the build machine) skip what the
// payload holds, never a wrapped or negative amount.
TEST(ChunkPrimitives, SkipOfTheLargestCountsStopsAtThePayloadEnd)
{
    for (const size_t count : {SIZE_MAX, SIZE_MAX / 2 + 1, size_t{UINT32_MAX}})
    {
        Bytes file = fiveThenNine();
        CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
        CChunk* c = nullptr;
        ASSERT_EQ(root.nextChild(c), 1);
        EXPECT_EQ(c->skipBytes(1), 1u);
        EXPECT_EQ(c->skipBytes(count), 4u) << count;
        EXPECT_EQ(c->skipBytes(count), 0u) << count;
        EXPECT_EQ(root.releaseChild(c), 1);
        EXPECT_EQ(firstPayloadByte(root), 9);
    }
}

TEST(ChunkPrimitives, ReadingAContainerFailsItAndItsParent)
{
    Bytes file = writeFile(
        [](CMemoryChunk& root)
        {
            addContainer(root, kContainerId, [](CChunk& c) { addData(c, kDataId, {1}); });
            addData(root, kDataId, {2});
        });
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    CChunk* container = nullptr;
    ASSERT_EQ(root.nextChild(container), 1);
    uint8_t buffer[4];
    EXPECT_EQ(container->readBytes(buffer, sizeof buffer), 0u);
    EXPECT_TRUE(container->isFailed());
    EXPECT_EQ(root.releaseChild(container), 0);
    EXPECT_TRUE(root.isFailed());
    CChunk* next = nullptr;
    EXPECT_EQ(root.nextChild(next), 0);
}

TEST(ChunkPrimitives, ChunkCutOffByEndOfFileFailsInsteadOfInventingBytes)
{
    Bytes file = writeFile([](CMemoryChunk& root) { addData(root, kDataId, Bytes(100, 0x55)); });
    file.resize(file.size() - 40);
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    CChunk* c = nullptr;
    ASSERT_EQ(root.nextChild(c), 1);
    Bytes buffer(100, 0);
    EXPECT_EQ(c->readBytes(buffer.data(), buffer.size()), 60u);
    EXPECT_TRUE(c->isFailed());
}

TEST(ChunkWriter, PrimitivesRefuseContainerChunks)
{
    CMemoryChunk root("w", {}, false);
    CChunk* c = nullptr;
    ASSERT_EQ(root.createChild(kContainerId, c), 1);
    c->writeU32(1);
    EXPECT_TRUE(c->isFailed());
    EXPECT_EQ(root.releaseChild(c), 0);
    EXPECT_TRUE(root.isFailed());
}

TEST(ChunkWriter, CopiesAChunkFromAnotherFile)
{
    Bytes source = writeFile(
        [](CMemoryChunk& root) {
            addContainer(root, kContainerId, [](CChunk& c) { addData(c, kDataId, {7, 8, 9}); });
        });
    CMemoryChunk reader(source.data(), source.size(), CMemoryOwnership::Borrow);
    CChunk* original = nullptr;
    ASSERT_EQ(reader.nextChild(original), 1);
    Bytes copy = writeFile([&](CMemoryChunk& root) { EXPECT_EQ(root.copyChunk(*original), 1); });
    reader.releaseChild(original);
    EXPECT_EQ(copy, source);
}

TEST(ChunkBlock, ChildrenLiveInTheBodyAndAttributesFollowIt)
{
    Bytes file = writeFile(
        [](CMemoryChunk& root)
        {
            addContainer(
                root, kBlockId,
                [](CChunk& block)
                {
                    addData(block, kDataId, {1});
                    addContainer(
                        block, kContainerId,
                        [](CChunk& inner)
                        {
                            addData(inner, kDataId, {2});
                            CChunk* deep = nullptr;
                            ASSERT_EQ(inner.createChild(kDataId, deep), 1);
                            EXPECT_EQ(deep->addAttribute(InfoRecord(2, {9, 9, 9, 9}, "deep")), 1);
                            EXPECT_EQ(deep->addAttribute(InfoRecord(2, {0, 0, 0, 0}, "same key")), 0);
                            ASSERT_EQ(inner.releaseChild(deep), 1);
                        });
                    EXPECT_EQ(block.addAttribute(InfoRecord(0, {5, 5, 5, 5}, "own")), 1);
                });
            EXPECT_EQ(root.addAttribute(InfoRecord(0, {}, "refused")), 0);
        });
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    CChunk* block = nullptr;
    ASSERT_EQ(root.nextChild(block), 1);
    ASSERT_NE(dynamic_cast<CChunkBlock*>(block), nullptr);
    EXPECT_EQ(firstPayloadByte(*block), 1);
    CChunk* inner = nullptr;
    ASSERT_EQ(block->nextChild(inner), 1);
    EXPECT_EQ(inner->depth(), 1);  // the body does not count as a level
    block->releaseChild(inner);
    CChunk* none = nullptr;
    EXPECT_EQ(block->nextChild(none), 0);

    const std::vector<InfoRecord>* attributes = block->attributes();
    ASSERT_NE(attributes, nullptr);
    ASSERT_EQ(attributes->size(), 2u);
    EXPECT_EQ((*attributes)[0].name(), "deep");
    EXPECT_EQ((*attributes)[0].key(),
              (std::vector<uint8_t>{2, 2}));  // inner is body child 2, deep its child 2
    EXPECT_EQ((*attributes)[1].name(), "own");
    EXPECT_TRUE((*attributes)[1].key().empty());
    EXPECT_EQ(root.releaseChild(block), 1);
    EXPECT_EQ(root.state(), ChunkState::Reading);
}

TEST(ChunkBlock, ReleasedWithoutReadingAttributesStillChecksTheList)
{
    Bytes file = writeFile(
        [](CMemoryChunk& root)
        {
            addContainer(root, kBlockId, [](CChunk& block) { addData(block, kDataId, {1}); });
            addData(root, kDataId, {2});
        });
    {
        CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
        CChunk* block = nullptr;
        ASSERT_EQ(root.nextChild(block), 1);
        EXPECT_EQ(root.releaseChild(block), 1);
        EXPECT_EQ(firstPayloadByte(root), 2);
    }
    // Turn the attribute list into some other chunk: the block no longer checks out.
    Bytes broken = file;
    const size_t blockAt = firstChildOffset(broken);
    const size_t bodyAt = blockAt + 8;
    const size_t listAt = bodyAt + 8 + get32(broken, bodyAt + 4);
    ASSERT_EQ(broken[listAt], 0x03);
    broken[listAt] = 0x07;
    CMemoryChunk root(broken.data(), broken.size(), CMemoryOwnership::Borrow);
    CChunk* block = nullptr;
    ASSERT_EQ(root.nextChild(block), 1);
    EXPECT_EQ(root.releaseChild(block), 0);
    EXPECT_TRUE(root.isFailed());
}

TEST(ChunkBlock, BlockWithoutBodyFailsItsParent)
{
    Bytes file =
        writeFile([](CMemoryChunk& root)
                  { addContainer(root, kBlockId, [](CChunk& block) { addData(block, kDataId, {1}); }); });
    file[firstChildOffset(file) + 8] = 0x09;  // the body's type
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    CChunk* block = nullptr;
    EXPECT_EQ(root.nextChild(block), 0);
    EXPECT_TRUE(root.isFailed());
}

TEST(ChunkBlock, DeeplyNestedBlocksFailWithoutExhaustingTheStack)
{
    // Every block must begin with its body; a block in its place is refused before it is opened, so the
    // depth of the file never turns into depth of the call stack.
    for (size_t levels : {size_t{1}, size_t{2}, size_t{1000}, size_t{200000}})
    {
        Bytes file = nestedBlocks(levels);
        CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
        ASSERT_EQ(root.state(), ChunkState::Reading) << levels;
        CChunk* block = nullptr;
        EXPECT_EQ(root.nextChild(block), 0) << levels;
        EXPECT_EQ(block, nullptr) << levels;
        EXPECT_TRUE(root.isFailed()) << levels;
    }
}

TEST(ChunkBlock, AttributeRecordsThatDoNotFillTheListFail)
{
    Bytes file = writeFile(
        [](CMemoryChunk& root)
        {
            addContainer(root, kBlockId,
                         [](CChunk& block) { EXPECT_EQ(block.addAttribute(InfoRecord(0, {}, "ab")), 1); });
        });
    const size_t bodyAt = firstChildOffset(file) + 8;
    const size_t listAt = bodyAt + 8 + get32(file, bodyAt + 4);
    for (uint8_t length : {uint8_t{7}, uint8_t{10}})  // one short of the list's end, and one past it
    {
        Bytes broken = file;
        broken[listAt + 8] = length;
        CMemoryChunk root(broken.data(), broken.size(), CMemoryOwnership::Borrow);
        CChunk* block = nullptr;
        ASSERT_EQ(root.nextChild(block), 1);
        EXPECT_EQ(block->attributes(), nullptr) << int(length);
        EXPECT_TRUE(block->isFailed());
        root.releaseChild(block);
    }
}

TEST(ChunkSeekTable, StoredTableIsHiddenFromCallersAndChecksOutOnClose)
{
    Bytes file = threeDataChildren(true);
    EXPECT_EQ(get32(file, file.size() - 4), 3u);
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    ASSERT_EQ(root.state(), ChunkState::Reading);
    EXPECT_EQ(firstPayloadByte(root), 1);
    EXPECT_EQ(firstPayloadByte(root), 2);
    EXPECT_EQ(firstPayloadByte(root), 3);
    CChunk* child = nullptr;
    EXPECT_EQ(root.nextChild(child), 0);
    EXPECT_EQ(root.state(), ChunkState::Reading);

    ASSERT_EQ(root.seekToChild(2), 1);
    EXPECT_EQ(firstPayloadByte(root), 3);
    ASSERT_EQ(root.seekTable().count(), 3);
    EXPECT_EQ(root.seekTable().at(0), 28);
    EXPECT_EQ(root.seekTable().at(1), 37);
    EXPECT_EQ(root.seekTable().at(2), 47);
    EXPECT_EQ(root.seekToChild(3), 0);
    EXPECT_EQ(root.seekToChild(0), 1);
    EXPECT_EQ(firstPayloadByte(root), 1);
    EXPECT_EQ(root.finishPayload(), 1);
}

TEST(ChunkSeekTable, WithoutStoredTableTheHeadersAreScanned)
{
    Bytes file = threeDataChildren(false);
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    ASSERT_EQ(root.seekToChild(1), 1);
    EXPECT_EQ(firstPayloadByte(root), 2);
    ASSERT_EQ(root.seekTable().count(), 3);
    EXPECT_EQ(root.seekTable().at(2), 47);

    // Trailing bytes too short for a header end the enumeration but do not scan cleanly.
    Bytes trailing = file;
    trailing.insert(trailing.end(), 3, 0);
    put32(trailing, 4, get32(trailing, 4) + 3);
    CMemoryChunk root2(trailing.data(), trailing.size(), CMemoryOwnership::Borrow);
    EXPECT_EQ(root2.seekToChild(1), 0);
    EXPECT_TRUE(root2.isFailed());
}

struct TableDamage
{
    const char* what;
    std::function<void(Bytes&)> damage;
};

static void PrintTo(const TableDamage& value, std::ostream* out)
{
    *out << value.what;
}

class ChunkSeekTableRejects : public testing::TestWithParam<TableDamage>
{
};

TEST_P(ChunkSeekTableRejects, ClosingFailsAndRootIsFailed)
{
    Bytes file = threeDataChildren(true);
    GetParam().damage(file);
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    ASSERT_EQ(root.state(), ChunkState::Reading) << GetParam().what;
    EXPECT_EQ(root.finishPayload(), 0) << GetParam().what;
    EXPECT_EQ(root.state(), ChunkState::Failed) << GetParam().what;
}

// The table is the last 32 bytes: header, "KBEG", three entries, "KEND", count.
INSTANTIATE_TEST_SUITE_P(
    Damage, ChunkSeekTableRejects,
    testing::Values(TableDamage{"entries not increasing", [](Bytes& f) { put32(f, f.size() - 12, 37); }},
                    TableDamage{"first entry zero", [](Bytes& f) { put32(f, f.size() - 20, 0); }},
                    TableDamage{"end marker", [](Bytes& f) { f[f.size() - 5] = 'X'; }},
                    TableDamage{"begin marker", [](Bytes& f) { f[f.size() - 24] = 'X'; }},
                    TableDamage{"count beyond the file", [](Bytes& f) { put32(f, f.size() - 4, 1000000); }},
                    TableDamage{"wrong identifier", [](Bytes& f) { f[f.size() - 32] = 0xFD; }},
                    TableDamage{"size not 12 + 4n", [](Bytes& f) { put32(f, f.size() - 28, 21); }}),
    [](const auto& param) { return caseName(param.param.what); });

TEST(ChunkSeekTable, TailProbeLengthFollowsTheRootSize)
{
    EXPECT_EQ(CChunkRootWithSeek::tailProbeLength(1000), 1000);
    EXPECT_EQ(CChunkRootWithSeek::tailProbeLength(1024), 1024);
    EXPECT_EQ(CChunkRootWithSeek::tailProbeLength(5000), 1416);
}

TEST(ChunkSeekTable, LargeTablesRoundTrip)
{
    // Enough children that the table is longer than the probed tail and has to be read a second time.
    Bytes file = writeFile(
        [](CMemoryChunk& root)
        {
            for (int i = 0; i < 600; ++i) addData(root, kDataId, {static_cast<uint8_t>(i)});
        },
        true);
    CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
    ASSERT_EQ(root.seekToChild(599), 1);
    EXPECT_EQ(firstPayloadByte(root), static_cast<uint8_t>(599));
    EXPECT_EQ(root.seekTable().count(), 600);
    EXPECT_EQ(root.finishPayload(), 1);
}

TEST(SeekTableStorage, GrowsAndRefusesWithoutGrowthStep)
{
    SeekTable table;
    EXPECT_EQ(table.capacity(), 16);
    for (int32_t i = 0; i < 5000; ++i) ASSERT_EQ(table.append(i * 3), i);
    EXPECT_EQ(table.at(4999), 4999 * 3);
    EXPECT_EQ(table.at(16), 48);

    SeekTable fixed(0);
    EXPECT_EQ(fixed.append(1), SeekTable::kAppendFailed);
}

TEST(MemoryStream, OwnershipModesAndClampedSeeks)
{
    uint8_t borrowed[4] = {1, 2, 3, 4};
    CMemory copy(borrowed, sizeof borrowed, CMemoryOwnership::Copy);
    CMemory borrow(borrowed, sizeof borrowed, CMemoryOwnership::Borrow);
    borrowed[0] = 9;
    ASSERT_TRUE(copy.open(CStream::ModeRead));
    ASSERT_TRUE(borrow.open(CStream::ModeRead));
    uint8_t byte = 0;
    copy.read(&byte, 1);
    EXPECT_EQ(byte, 1);
    borrow.read(&byte, 1);
    EXPECT_EQ(byte, 9);

    CMemory adopt(new uint8_t[3]{5, 6, 7}, 3, CMemoryOwnership::Adopt);  // freed by the stream
    ASSERT_TRUE(adopt.open(CStream::ModeRead));
    adopt.seek(-1, CStream::FromEnd);
    adopt.read(&byte, 1);
    EXPECT_EQ(byte, 7);
    adopt.seek(100, CStream::FromCurrent);
    EXPECT_EQ(adopt.position(), 3);
    adopt.seek(-100, CStream::FromStart);
    EXPECT_EQ(adopt.position(), 0);
    EXPECT_FALSE(adopt.hasError());
    uint8_t two[2];
    adopt.seek(2, CStream::FromStart);
    adopt.read(two, 2);
    EXPECT_EQ(adopt.transferred(), 1u);
    EXPECT_TRUE(adopt.hasError());
    adopt.clearError();
    adopt.seek(0, 7);
    EXPECT_TRUE(adopt.hasError());

    // A borrowed buffer can be overwritten in place but not grown.
    uint8_t target[2] = {0, 0};
    CMemory fixed(target, sizeof target, CMemoryOwnership::Borrow);
    ASSERT_TRUE(fixed.open(CStream::ModeWrite));
    fixed.write("ab", 2);
    EXPECT_EQ(target[1], 'b');
    fixed.write("c", 1);
    EXPECT_TRUE(fixed.hasError());
}

TEST(MemoryStream, ImageAnswersInWholeFileCoordinates)
{
    const uint8_t stretch[3] = {7, 8, 9};
    CImageStr image(stretch, sizeof stretch, 100, 103);
    ASSERT_TRUE(image.open(CStream::ModeRead));
    EXPECT_EQ(image.position(), 100);
    EXPECT_EQ(image.size(), 103);
    image.seek(-2, CStream::FromEnd);
    uint8_t byte = 0;
    image.read(&byte, 1);
    EXPECT_EQ(byte, 8);
    image.seek(50, CStream::FromStart);
    image.read(&byte, 1);
    EXPECT_EQ(image.transferred(), 0u);
    EXPECT_EQ(byte, 8);
}
