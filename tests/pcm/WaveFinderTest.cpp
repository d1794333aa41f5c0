#include "pcm/WaveFinder.h"
#include "tests/pcm/PcmFileBuilder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>

using namespace pcm;
using namespace pcmtest;

namespace
{
constexpr uint32_t kOtherContainerId = identifierOf(0x12, 0x02, 0x01, 0x10);  // wrong variant
constexpr uint32_t kWaveDataId = identifierOf(0x12, 0x02, 0x00, 0x18);        // the data flag rules it out
constexpr uint32_t kWaveBlockId = identifierOf(0x12, 0x02, 0x00, 0x12);

void addNoWaveRecords(CChunkBase& root)
{
    addRecords(root, {makeRecord(0, "one", 1, 1), makeRecord(0, "two", 6, 2)}, 0);
}

void addWaveContainer(CChunkBase& root, uint32_t identifier = kWaveContainerId, uint32_t inner = kWaveChunkId)
{
    addContainer(root, identifier,
                 [inner](CChunk& c)
                 {
                     addData(c, kDataId, {0});
                     addData(c, inner, {1, 2, 3});
                 });
}

// Judges a heap copy of exactly the file's bytes, so that any read past them is caught.
WaveVerdict judge(const Bytes& file)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[file.size() + 1]);
    if (!file.empty())
        std::memcpy(exact.get(), file.data(), file.size());
    return FindWaveInBuffer(exact.get(), file.size());
}

struct VerdictCase
{
    const char* what;
    std::function<Bytes()> make;
    WaveVerdict expected;
};

void PrintTo(const VerdictCase& value, std::ostream* out)
{
    *out << value.what;
}

class WaveFinderVerdict : public testing::TestWithParam<VerdictCase>
{
};

Bytes cutAfterFirstRecord()
{
    Bytes file = writeFile(
        [](CMemoryChunk& root)
        {
            addRecords(root,
                       {makeRecord(0, "wave", 6, 0), makeRecord(0, "other", 1, 1), makeRecord(0, "x", 1, 1)},
                       0);
        });
    file.resize(firstChildOffset(file) + 8 + 30);
    return file;
}

Bytes brokenSecondChild()
{
    Bytes file = writeFile(
        [](CMemoryChunk& root)
        {
            addNoWaveRecords(root);
            addData(root, kDataId, {1});
            addWaveContainer(root);
        });
    const size_t second = firstChildOffset(file) + 8 + get32(file, firstChildOffset(file) + 4);
    file[second + 3] |= 0x01;
    return file;
}

Bytes onlyInfoChunk()
{
    return writeFile([](CMemoryChunk&) {});
}
}  // namespace

TEST_P(WaveFinderVerdict, MatchesExpectation)
{
    EXPECT_EQ(judge(GetParam().make()), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Files, WaveFinderVerdict,
    testing::Values(
        VerdictCase{
            "compact wave record, no container",
            [] { return writeFile([](CMemoryChunk& r) { addRecords(r, {makeRecord(0, "w", 6, 1)}, 0); }); },
            WaveVerdict::Found},
        VerdictCase{"extended wave record",
                    []
                    {
                        return writeFile(
                            [](CMemoryChunk& r) {
                                addRecords(r, {makeRecord(1, "a", 2, 0), makeRecord(1, "w", 6, 0)}, 1, 1);
                            });
                    },
                    WaveVerdict::Found},
        VerdictCase{"primary 6 with secondary 2 is no wave",
                    [] { return writeFile([](CMemoryChunk& r) { addNoWaveRecords(r); }); },
                    WaveVerdict::NotFound},
        VerdictCase{"wave container after the records",
                    []
                    {
                        return writeFile(
                            [](CMemoryChunk& r)
                            {
                                addNoWaveRecords(r);
                                addData(r, kDataId, {1});
                                addWaveContainer(r);
                            });
                    },
                    WaveVerdict::Found},
        VerdictCase{"wave block after the records",
                    []
                    {
                        return writeFile(
                            [](CMemoryChunk& r)
                            {
                                addNoWaveRecords(r);
                                addWaveContainer(r, kWaveBlockId);
                            });
                    },
                    WaveVerdict::Found},
        VerdictCase{"wave container as the first data child is never searched",
                    [] { return writeFile([](CMemoryChunk& r) { addWaveContainer(r); }); },
                    WaveVerdict::NotFound},
        VerdictCase{"wrong variant and data flag are no wave containers",
                    []
                    {
                        return writeFile(
                            [](CMemoryChunk& r)
                            {
                                addNoWaveRecords(r);
                                addWaveContainer(r, kOtherContainerId);
                                addData(r, kWaveDataId, {0, 0, 0, 8, 1, 0, 0, 0, 0, 0, 0, 0});
                            });
                    },
                    WaveVerdict::NotFound},
        VerdictCase{"container without a wave chunk, then one with it",
                    []
                    {
                        return writeFile(
                            [](CMemoryChunk& r)
                            {
                                addNoWaveRecords(r);
                                addWaveContainer(r, kWaveContainerId, kDataId);
                                addWaveContainer(r);
                            });
                    },
                    WaveVerdict::Found},
        VerdictCase{"container without a wave chunk only",
                    []
                    {
                        return writeFile(
                            [](CMemoryChunk& r)
                            {
                                addNoWaveRecords(r);
                                addWaveContainer(r, kWaveContainerId, kDataId);
                            });
                    },
                    WaveVerdict::NotFound},
        VerdictCase{"stored seek table, wave in the last child",
                    []
                    {
                        return writeFile(
                            [](CMemoryChunk& r)
                            {
                                addNoWaveRecords(r);
                                addData(r, kDataId, Bytes(40, 7));
                                addWaveContainer(r);
                            },
                            true);
                    },
                    WaveVerdict::Found},
        VerdictCase{"stored seek table, no wave",
                    []
                    {
                        return writeFile(
                            [](CMemoryChunk& r)
                            {
                                addNoWaveRecords(r);
                                addData(r, kDataId, {1});
                            },
                            true);
                    },
                    WaveVerdict::NotFound},
        VerdictCase{"records of an unknown format",
                    []
                    { return writeFile([](CMemoryChunk& r) { addData(r, recordListId(5), Bytes(48, 6)); }); },
                    WaveVerdict::NotFound},
        VerdictCase{"first data child cut short still yields its whole records", cutAfterFirstRecord,
                    WaveVerdict::Found},
        VerdictCase{"a broken later child ends the search", brokenSecondChild, WaveVerdict::NotFound},
        VerdictCase{"only the info chunk", onlyInfoChunk, WaveVerdict::Error},
        VerdictCase{"not a sound-data file", [] { return Bytes(100, 0x41); }, WaveVerdict::Error},
        VerdictCase{"empty", [] { return Bytes(); }, WaveVerdict::Error}),
    [](const auto& param) { return caseName(param.param.what); });

// Damaged files: whatever the bytes, the finder returns a verdict without reading outside the buffer (the
// sanitizer build checks that) and without looping.
class WaveFinderRobustness : public testing::TestWithParam<int>
{
protected:
    static Bytes sample(int which)
    {
        switch (which)
        {
            case 0:
                return writeFile(
                    [](CMemoryChunk& r) {
                        addRecords(r,
                                   {makeRecord(1, "\xC3\xA9l\xC3\xA9ment", 1, 0), makeRecord(1, "w", 6, 1)},
                                   1, 1);
                    });
            case 1:
                return writeFile(
                    [](CMemoryChunk& r)
                    {
                        addNoWaveRecords(r);
                        addData(r, kDataId, {1, 2});
                        addWaveContainer(r, kWaveBlockId);
                    },
                    true);
            default:
                return writeFile(
                    [](CMemoryChunk& r)
                    {
                        addRecords(r, {makeRecord(0, "a", 1, 1)}, 0);
                        addContainer(r, kBlockId,
                                     [](CChunk& b)
                                     {
                                         addData(b, kDataId, {5});
                                         EXPECT_EQ(b.addAttribute(InfoRecord(0, {1, 1, 1, 1}, "attr")), 1);
                                     });
                        addWaveContainer(r);
                    });
        }
    }
};

TEST_P(WaveFinderRobustness, EveryTruncation)
{
    const Bytes file = sample(GetParam());
    EXPECT_EQ(judge(file), WaveVerdict::Found);
    for (size_t length = 0; length < file.size(); ++length)
        judge(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length)));
}

TEST_P(WaveFinderRobustness, EveryFlippedBit)
{
    const Bytes file = sample(GetParam());
    for (size_t at = 0; at < file.size(); ++at)
    {
        for (int bit = 0; bit < 8; ++bit)
        {
            Bytes damaged = file;
            damaged[at] ^= static_cast<uint8_t>(1 << bit);
            judge(damaged);
        }
    }
}

TEST_P(WaveFinderRobustness, HugeSizesInEveryHeader)
{
    const Bytes file = sample(GetParam());
    // Every 4-byte window gets sizes that overflow, exceed the file or turn negative.
    for (size_t at = 0; at + 4 <= file.size(); ++at)
    {
        for (uint32_t size : {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF8u, 0u})
        {
            Bytes damaged = file;
            put32(damaged, at, size);
            judge(damaged);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, WaveFinderRobustness, testing::Values(0, 1, 2));

TEST(WaveFinderRobustness, RandomFiles)
{
    std::mt19937 random(20261208);
    for (int i = 0; i < 3000; ++i)
    {
        Bytes file(random() % 200);
        for (uint8_t& b : file) b = static_cast<uint8_t>(random());
        // Most random files fail at the root; give half of them an acceptable root and info chunk start.
        if (i % 2 == 0 && file.size() >= 16)
        {
            const uint8_t prefix[16] = {0x01,
                                        0x00,
                                        static_cast<uint8_t>(i % 4 == 0),
                                        0x14,
                                        0,
                                        0,
                                        0,
                                        static_cast<uint8_t>(file.size() - 8),
                                        0x02,
                                        0x00,
                                        0x00,
                                        0x18,
                                        0,
                                        0,
                                        0,
                                        static_cast<uint8_t>(random() % 16)};
            std::memcpy(file.data(), prefix, sizeof prefix);
        }
        judge(file);
    }
}
