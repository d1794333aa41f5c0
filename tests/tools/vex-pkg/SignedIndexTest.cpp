// The signed index as the tool writes and shows it: the release fields from the manifest and from sign's
// options, the listing of the index chunk by chunk, old trailing signatures, and verify reading the items
// through the index's checking reader (including a block that reads differently the second time).

#include "pkg/items/ItemFile.h"
#include "pkg/read/PackageFormat.h"
#include "tests/support/SignedPackages.h"
#include "tests/tools/vex-pkg/SigningTestSupport.h"
#include "tools/vex-pkg/IndexCheck.h"
#include "tools/vex-pkg/ToolSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace vex::pkg;

namespace
{
using namespace signing_test;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string LineStarting(const std::string& text, const std::string& start)
{
    for (const std::string& line : Lines(text))
        if (line.compare(0, start.size(), start) == 0)
            return line;
    return "(no line starting with '" + start + "')";
}

TEST(SignCommand, TheReleaseGoesIntoTheIndexAndCarriesOverWhenSigningAgain)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string manifest = WriteSampleInputs(dir);
    std::string text = ReadText(manifest);
    text.replace(text.find("text1"), 0, "version = \"2.0.0\"\nmin_installer = \"4.2.7\"\n");
    WriteText(manifest, text);
    const std::string package = dir / "out.pkg";
    ASSERT_EQ(RunTool({"create", manifest, "-o", package, "--sign", dir / "keys/old.key"}).status, 0);
    std::string listed = RunTool({"list", package}).out;
    EXPECT_EQ(LineStarting(listed, "version:"), "version: 2.0.0");
    EXPECT_EQ(LineStarting(listed, "minimum installer:"), "minimum installer: 4.2.7.0");

    // One field given, the other kept; then the other.
    ASSERT_EQ(RunTool({"sign", package, "--key", dir / "keys/new.key", "--version", "2.1.3"}).status, 0);
    listed = RunTool({"list", package}).out;
    EXPECT_EQ(LineStarting(listed, "version:"), "version: 2.1.3");
    EXPECT_EQ(LineStarting(listed, "minimum installer:"), "minimum installer: 4.2.7.0");
    ASSERT_EQ(RunTool({"sign", package, "--key", dir / "keys/new.key", "--min-installer", "4.2.7.30"}).status,
              0);
    listed = RunTool({"list", package}).out;
    EXPECT_EQ(LineStarting(listed, "version:"), "version: 2.1.3");
    EXPECT_EQ(LineStarting(listed, "minimum installer:"), "minimum installer: 4.2.7.30");
    EXPECT_EQ(RunTool({"verify", package, "--keys", dir / "trust-new"}).status, 0);

    // An installer older than the package asks for refuses it, and verify says so as the installer would.
    ASSERT_EQ(RunTool({"sign", package, "--key", dir / "keys/new.key", "--min-installer", "4.3"}).status, 0);
    const ToolRun refused = RunTool({"verify", package, "--keys", dir / "trust-new"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.out,
                         "signature: This package needs installer version 4.3.0.0 or later (this is "
                         "4.2.7.30)\n"))
        << refused.out;
    const ToolRun json = RunTool({"list", "--json", package});
    EXPECT_TRUE(Contains(json.out, "\"version\": \"2.1.3\", \"min_installer\": \"4.3.0.0\"")) << json.out;
}

TEST(SignCommand, ReleaseOptionsThatAreNoVersionsAreUsageErrors)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = Create(dir);
    const std::string before = ReadText(package);
    // The parsers' own tests cover the forms; here, that a refusal is a usage error and touches nothing.
    for (const std::vector<std::string>& options : {std::vector<std::string>{"--version", "2.0"},
                                                    {"--version", "2.0.0\n"},
                                                    {"--min-installer", "4.2.7.30.1"}})
    {
        std::vector<std::string> arguments{"sign", package, "--key", dir / "keys/old.key"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const ToolRun run = RunTool(arguments);
        EXPECT_EQ(run.status, 2) << options[1];
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_TRUE(Contains(run.err, "is not a")) << run.err;
    }
    EXPECT_TRUE(ReadText(package) == before);
}

TEST(ListCommand, ShowsTheIndexChunkByChunk)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = CreateWithBigFile(dir, {"--sign", dir / "keys/old.key"});
    const std::string listed = RunTool({"list", package}).out;
    const Layout layout = LayoutOf(package);
    ASSERT_TRUE(layout.index != nullptr);
    const size_t count = layout.index->chunks().size();
    EXPECT_EQ(LineStarting(listed, "version:"), "version: 0.0.0");
    EXPECT_EQ(LineStarting(listed, "index: "),
              "index: " + std::to_string(count) + " chunks, block size 262144, compatibility VX20A01");

    // The chunks tile the stream from the end of the signature to the end of the package, each with the
    // blocks its length needs; the first is the header, the big file spans three blocks.
    std::vector<std::string> chunks;
    for (const std::string& line : Lines(listed))
        if (line.compare(0, 12, "index chunk ") == 0)
            chunks.push_back(line);
    ASSERT_EQ(chunks.size(), count) << listed;
    int64_t at = layout.signatureStart + SignatureFormat::kChunkSize;
    int threeBlocks = 0;
    for (size_t i = 0; i < count; ++i)
    {
        std::istringstream fields(chunks[i]);
        std::string word, kind, offsetWord, lengthWord, blocksWord;
        size_t number = 0;
        uint32_t type = 0;
        int64_t offset = 0, length = 0;
        uint32_t blocks = 0;
        fields >> word >> word >> number >> word >> type >> kind >> offsetWord >> offset >> lengthWord >>
            length >> blocksWord >> blocks;
        EXPECT_EQ(number, i) << chunks[i];
        EXPECT_EQ(offset, at) << chunks[i];
        EXPECT_EQ(blocks,
                  static_cast<uint32_t>((length + IndexFormat::kBlockSize - 1) / IndexFormat::kBlockSize))
            << chunks[i];
        threeBlocks += blocks == 3 ? 1 : 0;
        at += length;
    }
    EXPECT_EQ(at, layout.size);
    EXPECT_EQ(threeBlocks, 1);
    EXPECT_TRUE(Contains(chunks.front(), "type 0 (header)  offset")) << chunks.front();
    EXPECT_TRUE(Contains(listed, "  type 17 (file)  offset ")) << listed;

    const ToolRun json = RunTool({"list", "--json", package});
    EXPECT_TRUE(Contains(json.out, "\"version\": \"0.0.0\", \"min_installer\": \"0.0.0.0\"")) << json.out;
    EXPECT_TRUE(Contains(
        json.out,
        "\"index\": {\"block_size\": 262144, \"data_start\": " + std::to_string(layout.index->dataStart()) +
            ", \"stream_length\": " + std::to_string(layout.size) +
            ", \"compatibility\": [\"VX20A01\"], \"chunks\": [\n    {\"number\": 0, "
            "\"type\": 0, \"kind\": \"header\", \"offset\": " +
            std::to_string(layout.index->dataStart())))
        << json.out;
    size_t entries = 0;
    for (size_t found = json.out.find("{\"number\": "); found != std::string::npos;
         found = json.out.find("{\"number\": ", found + 1))
        ++entries;
    EXPECT_EQ(entries, count);
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '{'),
              std::count(json.out.begin(), json.out.end(), '}'));
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '['),
              std::count(json.out.begin(), json.out.end(), ']'));
}

// A package signed the old way is shown as such, refused by verify as the installer refuses it, and signing
// it again replaces its trailing signature with an index.
TEST(SignCommand, AnOldTrailingSignatureIsShownRefusedAndReplaced)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = Create(dir);
    test_support::addTrailingSignature(package);

    const ToolRun listed = RunTool({"list", package});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_TRUE(Contains(listed.out, "index: none\nsignature: ed25519-sha512 key ID " + std::string(32, '0') +
                                         ", signed the old way; sign again\n"))
        << listed.out;
    EXPECT_FALSE(Contains(listed.out, "unknown")) << listed.out;
    const ToolRun json = RunTool({"list", "--json", package});
    EXPECT_TRUE(Contains(json.out, "\"scheme\": \"ed25519-sha512\", \"key_id\": \"" + std::string(32, '0') +
                                       "\", \"problem\": \"signed the old way; sign again\"}"))
        << json.out;

    const ToolRun refused = RunTool({"verify", package, "--keys", dir / "trust-both"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(
        refused.out,
        "signature: Signed with the signature at the end, which this installer no longer accepts: sign the "
        "package again with vex-pkg sign\n1 problem found\n");
    // An instrument without keys installs it as it is: verify without keys shows the note and passes.
    const ToolRun unkeyed = RunTool({"verify", package});
    EXPECT_EQ(unkeyed.status, 0) << unkeyed.out;
    EXPECT_TRUE(Contains(unkeyed.out, "signed the old way; sign again (not checked: no --keys)"))
        << unkeyed.out;

    ASSERT_EQ(RunTool({"sign", package, "--key", dir / "keys/old.key"}).status, 0);
    EXPECT_EQ(RunTool({"verify", package, "--keys", dir / "trust-old"}).status, 0);
    EXPECT_TRUE(
        Contains(RunTool({"list", package}).out, "signature: ed25519-index key ID " + keys.id.at("old")));
}

// The index vouches for bytes, not for what they mean: a file whose stored bytes no longer match its MD5
// before signing is still found by verify, which reads the items through the checking reader.
TEST(VerifyCommand, ItemsAreStillCheckedInASoundlySignedPackage)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = Create(dir);
    std::string bytes = ReadText(package);
    const size_t at = bytes.find("plain bytes\n");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'P';
    WriteText(package, bytes);
    ASSERT_EQ(RunTool({"sign", package, "--key", dir / "keys/old.key"}).status, 0);

    const ToolRun run = RunTool({"verify", package, "--keys", dir / "trust-old"});
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 4u) << run.out;
    EXPECT_EQ(lines[0].substr(0, 45), "file /kelda_usr/t/plain.txt: MD5 mismatch (re") << run.out;
    EXPECT_EQ(lines[1].substr(0, 7), "index: ");
    EXPECT_TRUE(Contains(lines[1], " blocks, every block as signed")) << run.out;
    EXPECT_EQ(lines[3], "1 problem found");
}

// A medium may serve other bytes on a later read than it did when the whole stream was checked: the read
// that gets them is refused, and the line names the chunk and block.
TEST(VerifyCommand, ABlockThatReadsDifferentlyTheSecondTimeIsNamed)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = CreateWithBigFile(dir, {"--sign", dir / "keys/old.key"});
    std::shared_ptr<const PackageIndex> index;
    std::string problem;
    ASSERT_TRUE(vex::tools::IndexCheck::Load(package, index, problem)) << problem;
    ASSERT_TRUE(vex::tools::IndexCheck::ReadThrough(package, index, nullptr, problem)) << problem;

    vex::tools::OpenedPackage opened;
    std::string error;
    ASSERT_TRUE(opened.Open(package, error, index)) << error;
    EXPECT_TRUE(opened.ThroughIndex());
    ASSERT_TRUE(opened.Intact());
    ItemFile* big = nullptr;
    for (const auto& item : opened.items())
        if (auto* file = dynamic_cast<ItemFile*>(item.get());
            file != nullptr && file->installedSize() == 600000)
            big = file;
    ASSERT_NE(big, nullptr);

    // Changed in place, under the open package, in the big file's second block.
    const Layout layout = LayoutOf(package);
    const int64_t offset = [&]
    {
        for (const PackageIndex::Chunk& chunk : layout.index->chunks())
            if (chunk.blocks == 3)
                return chunk.offset + IndexFormat::kBlockSize + 7;
        return int64_t(0);
    }();
    ASSERT_GT(offset, 0);
    {
        std::fstream file(package, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(offset);
        file.put('\x5a');
    }
    IStreamReader* data = big->dataInfo().reader();
    ASSERT_NE(data, nullptr);
    std::vector<uint8_t> buffer(600000);
    ASSERT_TRUE(data->seek(0));
    int64_t total = 0;
    for (int64_t got = 0; total < 600000 && (got = data->read(buffer.data() + total, 600000 - total)) > 0;)
        total += got;
    EXPECT_LT(total, 600000);
    EXPECT_FALSE(opened.Intact());
    EXPECT_EQ("index: " + opened.IndexProblem(), ChangedAt(layout, offset));
}

// Read without a key, the index still has to describe the package the way the installer's verifier demands;
// each refusal is one line.
TEST(IndexCheck, RefusesAnIndexThatDoesNotDescribeThePackage)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = Create(dir, {"--sign", dir / "keys/old.key"});
    const std::string good = ReadText(package);
    std::shared_ptr<const PackageIndex> index;
    std::string problem;
    ASSERT_TRUE(vex::tools::IndexCheck::Load(package, index, problem)) << problem;
    const int64_t sizeField = PackageFormat::kLeadInSize + 4;
    const struct
    {
        const char* name;
        std::string bytes;
        std::string problem;
    } cases[] = {
        {"NoIndexChunk", good.substr(0, 16) + std::string(8, '\x01') + good.substr(24), "No signed index"},
        {"IndexTooLarge",
         good.substr(0, sizeField) + std::string("\x01\x00\x00\x01", 4) + good.substr(sizeField + 4),
         "The signed index is larger than 16 MiB"},
        {"IndexTooSmall",
         good.substr(0, sizeField) + std::string("\x04\x00\x00\x00", 4) + good.substr(sizeField + 4),
         "The signed index is malformed: its size is impossible"},
        {"CutShort", good.substr(0, 56),
         "A part is missing: the package holds 56 of its " + std::to_string(good.size()) + " signed bytes"},
        {"ByteAppended", good + '\0', "The package length differs from the signed length"},
    };
    for (const auto& c : cases)
    {
        WriteText(package, c.bytes);
        EXPECT_FALSE(vex::tools::IndexCheck::Load(package, index, problem)) << c.name;
        EXPECT_EQ(problem, c.problem) << c.name;
        EXPECT_EQ(index, nullptr) << c.name;
    }
    // Cut inside the index with a lead-in that agrees: nothing is read past the end.
    std::string cut = good.substr(0, 60);
    vex::base::ByteOrder::StoreLe64(reinterpret_cast<uint8_t*>(&cut[8]), cut.size());
    WriteText(package, cut);
    EXPECT_FALSE(vex::tools::IndexCheck::Load(package, index, problem));
    EXPECT_EQ(problem, "The package ends inside its signed index");
}
}  // namespace
