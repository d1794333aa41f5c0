#pragma once

// Ground shared by the tests of signed packages: two key pairs, packages made and signed by the tool, and
// where a signed package's index says its chunks lie.

#include "pkg/trust/IndexFormat.h"
#include "pkg/trust/PackageIndex.h"
#include "pkg/writer/PackageSigner.h"
#include "tests/tools/vex-pkg/VexPkgTestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace signing_test
{
namespace fs = boost::filesystem;
using vex::pkg::PackageIndex;

inline bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Two key pairs: "old" and "new" in keys/, their public halves in trust-both/, trust-old/ and trust-new/.
struct Keys
{
    explicit Keys(const TempDir& dir)
    {
        for (const std::string name : {"old", "new"})
        {
            const ToolRun made = RunTool({"keygen", "--out", dir / "keys", "--name", name});
            EXPECT_EQ(made.status, 0) << made.err;
            const std::string::size_type at = made.out.find("key ID ");
            id[name] = made.out.substr(at + 7, 32);
            for (const std::string& trust : {std::string("trust-both"), "trust-" + name})
            {
                fs::create_directories(dir / trust);
                fs::copy_file(dir / ("keys/" + name + ".pem"), dir / (trust + "/" + name + ".pem"));
            }
        }
    }
    std::map<std::string, std::string> id;
};

inline std::string Create(const TempDir& dir, const std::vector<std::string>& extra = {})
{
    const std::string manifest = WriteSampleInputs(dir);
    std::vector<std::string> arguments{"create", manifest, "-o", dir / "out.pkg"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const ToolRun created = RunTool(arguments);
    EXPECT_EQ(created.status, 0) << created.err;
    return dir / "out.pkg";
}

// Where the signed package's parts lie: the lead-in, the index chunk, the signature chunk, then the chunks
// the index names.
struct Layout
{
    std::shared_ptr<const PackageIndex> index;
    int64_t signatureStart = 0;
    int64_t size = 0;
};

inline Layout LayoutOf(const std::string& package)
{
    vex::pkg::writer::PackageSigner::Inspection inspection;
    std::string error;
    EXPECT_TRUE(vex::pkg::writer::PackageSigner::inspect(package, inspection, error)) << error;
    Layout layout;
    layout.index = inspection.index;
    layout.signatureStart = inspection.signedBytes;
    layout.size = static_cast<int64_t>(ReadText(package).size());
    return layout;
}

// The checking reader's line for a byte changed at `offset`, as verify prints it.
inline std::string ChangedAt(const Layout& layout, int64_t offset)
{
    const long chunk = layout.index->findChunk(offset);
    const PackageIndex::Chunk& entry = layout.index->chunks()[static_cast<size_t>(chunk)];
    return "index: Package bytes changed since they were signed: chunk " + std::to_string(chunk) +
           " at offset " + std::to_string(entry.offset) + ", block " +
           std::to_string((offset - entry.offset) / layout.index->blockSize());
}

// A file of 600 000 bytes that do not compress, so that its chunk spans three blocks.
inline const char* const kBigFile = R"(
[[file]]
source = "big.bin"
path = "/kelda_usr/t/big.bin"
)";

inline std::string CreateWithBigFile(const TempDir& dir, const std::vector<std::string>& extra)
{
    std::string big;
    uint32_t state = 12345;
    for (int i = 0; i < 600000; ++i)
    {
        state = state * 1103515245u + 12345u;
        big += static_cast<char>(state >> 24);
    }
    WriteText(dir / "in/big.bin", big);
    const std::string manifest = WriteSampleInputs(dir, kBigFile);
    std::vector<std::string> arguments{"create", manifest, "-o", dir / "out.pkg"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const ToolRun created = RunTool(arguments);
    EXPECT_EQ(created.status, 0) << created.err;
    return dir / "out.pkg";
}

}  // namespace signing_test
