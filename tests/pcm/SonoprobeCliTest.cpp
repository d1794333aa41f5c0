#include "tests/pcm/PcmFileBuilder.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace pcm;
using namespace pcmtest;

namespace
{
struct ProgramRun
{
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string quoted(const std::string& s)
{
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs the built program under a time limit, capturing both output streams.
ProgramRun sonoprobe(const TempDir& dir, const std::string& arguments)
{
    const std::string out = dir / "stdout";
    const std::string err = dir / "stderr";
    // A cross build's program runs under its emulator.
    const std::string command = "cd " + quoted(dir.str()) + " && timeout 30 " + SONOPROBE_EMULATOR + " " +
                                quoted(SONOPROBE_PATH) + " " + arguments + " > " + quoted(out) + " 2> " +
                                quoted(err);
    ProgramRun run;
    const int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
}

void save(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

const char kFound[] = "Sonoprobe: wave found\n";
const char kNotFound[] = "Sonoprobe: wave not found\n";
const char kError[] = "Sonoprobe: error\n";

// One run of the program: its arguments, the one line it must print and its exit status.
struct RunCase
{
    std::string arguments;
    std::string out;
    int status;
};

// Every case prints exactly its line on standard output and nothing on standard error.
void expectRuns(const TempDir& dir, const std::vector<RunCase>& cases)
{
    for (const RunCase& c : cases)
    {
        const ProgramRun run = sonoprobe(dir, c.arguments);
        EXPECT_EQ(run.out, c.out) << c.arguments;
        EXPECT_EQ(run.status, c.status) << c.arguments;
        EXPECT_EQ(run.err, "") << c.arguments;
    }
}
}  // namespace

TEST(SonoprobeProgram, CommandLine)
{
    TempDir dir;
    expectRuns(dir, {
                        {"", "Usage:\n- Sonoprobe -v\n- Sonoprobe <file.PCM>\n", 0},
                        {"-v", "Sonoprobe: v1.0\n", 0},
                        {"-v other", kError, 1},
                        {"a.PCM b.PCM", kError, 1},
                        {"missing.PCM", kError, 1},
                        {"-x", kError, 1},
                    });
}

TEST(SonoprobeProgram, Verdicts)
{
    TempDir dir;
    save(dir / "found.PCM", writeFile(
                                [](CMemoryChunk& r)
                                {
                                    addRecords(r, {makeRecord(0, "x", 1, 1)}, 0);
                                    addContainer(r, kWaveContainerId,
                                                 [](CChunk& c) { addData(c, kWaveChunkId, {1}); });
                                }));
    save(dir / "plain.PCM",
         writeFile([](CMemoryChunk& r) { addRecords(r, {makeRecord(0, "x", 6, 2)}, 0); }, true));
    save(dir / "info-only.PCM", writeFile([](CMemoryChunk&) {}));
    save(dir / "empty.PCM", {});
    save(dir / "nested.PCM", nestedBlocks(200000));
    save(dir / "text.PCM", Bytes(64, 'a'));
    expectRuns(dir, {
                        {"found.PCM", kFound, 0},
                        {"plain.PCM", kNotFound, 0},
                        {"info-only.PCM", kError, 1},
                        {"empty.PCM", kError, 1},
                        {"text.PCM", kError, 1},
                        {".", kError, 1},
                        {"nested.PCM", kError, 1},
                    });
}

// Past 4 GiB the length no longer fits a 32-bit size_t: it must not wrap into a shorter one and have the
// file judged on its first bytes (here: "not found"). A 64-bit build maps it all and finds the wave.
TEST(SonoprobeProgram, FileLongerThanTheAddressSpaceIsNotJudgedOnAPart)
{
    TempDir dir;
    const std::string path = dir / "huge.PCM";
    save(path, writeFile(
                   [](CMemoryChunk& r)
                   {
                       addRecords(r, {makeRecord(0, "x", 1, 1)}, 0);
                       addContainer(r, kWaveContainerId, [](CChunk& c) { addData(c, kWaveChunkId, {1}); });
                   }));
    // Sparse: 4 GiB and 100 bytes long, holding little more than the wave file.
    ASSERT_EQ(::truncate(path.c_str(), (int64_t{1} << 32) + 100), 0);
    const ProgramRun run = sonoprobe(dir, "huge.PCM");
    if (sizeof(size_t) < 8)
    {
        EXPECT_EQ(run.out, kError);
        EXPECT_EQ(run.status, 1);
    }
    else
    {
        EXPECT_EQ(run.out, kFound);
        EXPECT_EQ(run.status, 0);
    }
}

TEST(SonoprobeProgram, DamagedFilesGetExactlyOneVerdictLine)
{
    TempDir dir;
    const Bytes file = writeFile(
        [](CMemoryChunk& r)
        {
            addRecords(r, {makeRecord(1, "x", 1, 1)}, 1, 1);
            addContainer(r, kWaveContainerId, [](CChunk& c) { addData(c, kWaveChunkId, {1}); });
        },
        true);
    // A spread of truncations: the program itself, not only the library, must survive them.
    for (size_t length = 1; length < file.size(); length += 9)
    {
        save(dir / "cut.PCM", Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length)));
        const ProgramRun run = sonoprobe(dir, "cut.PCM");
        EXPECT_TRUE(run.out == kFound || run.out == kNotFound || run.out == kError)
            << length << ": " << run.out;
        EXPECT_EQ(run.status, run.out == kError ? 1 : 0) << length;
        EXPECT_EQ(run.err, "") << length;
    }
}
