#pragma once

// Shared ground of the package tool's tests: a scratch folder with manifest inputs, and the tool run
// in-process with its output captured.

#include "tests/support/SampleManifest.h"
#include "tests/support/TempDir.h"
#include "tools/vex-pkg/VexPkgCommands.h"

#include <boost/filesystem.hpp>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

struct ToolRun
{
    int status = -1;
    std::string out;
    std::string err;
};

inline ToolRun RunTool(const std::vector<std::string>& arguments, const std::string& sourceDateEpoch = "")
{
    std::ostringstream out, err;
    vex::tools::CommandContext context{out, err, sourceDateEpoch, false, vex::tools::CommandContext::kOk};
    std::vector<std::string> argv{"vex-pkg"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ToolRun run;
    run.status = vex::tools::RunVexPkg(argv, context);
    run.out = out.str();
    run.err = err.str();
    return run;
}

inline void WriteText(const std::string& path, const std::string& text)
{
    boost::system::error_code ec;
    boost::filesystem::create_directories(boost::filesystem::path(path).parent_path(), ec);
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every regular file and link below `root`: relative path -> contents (or "-> target" for a link).
inline std::map<std::string, std::string> TreeOf(const std::string& root)
{
    namespace fs = boost::filesystem;
    std::map<std::string, std::string> tree;
    boost::system::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
    {
        const std::string relative = it->path().lexically_relative(root).generic_string();
        const fs::file_status status = fs::symlink_status(it->path(), ec);
        if (fs::is_symlink(status))
            tree[relative] = "-> " + fs::read_symlink(it->path(), ec).string();
        else if (fs::is_regular_file(status))
            tree[relative] = ReadText(it->path().string());
        else if (fs::is_directory(status))
            tree[relative + "/"] = "";
    }
    return tree;
}

// A small USER package's inputs in `dir`: scripts, files of every encoding, a tree for a tar, and a
// manifest naming them, with `extra` appended to it.
inline std::string WriteSampleInputs(const TempDir& dir, const std::string& extra = "")
{
    WriteText(dir / "in/pre.sh", "#!/bin/sh\nexit 0\n");
    WriteText(dir / "in/clean.sh", "#!/bin/sh\nexit 0\n");
    WriteText(dir / "in/post.sh", "#!/bin/sh\nexit 0\n");
    WriteText(dir / "in/cond.sh", "#!/bin/sh\nexit 0\n");
    std::string big;
    for (int i = 0; i < 70000; ++i) big += static_cast<char>('a' + (i * 7) % 26);
    WriteText(dir / "in/plain.txt", "plain bytes\n");
    WriteText(dir / "in/blowfish.bin", big);  // more than one 65 536-byte cipher segment
    WriteText(dir / "in/des.bin", big.substr(0, 65536));
    std::string repeated;
    for (int i = 0; i < 50000; ++i) repeated += "line " + std::to_string(i % 10) + "\n";
    WriteText(dir / "in/zlib.txt", repeated);
    WriteText(dir / "in/empty.txt", "");
    WriteText(dir / "in/kernel.img", "KERNEL");
    WriteText(dir / "in/tree/data/table.csv", "a,b\n1,2\n");
    WriteText(dir / "in/tree/data/deep/more.txt", "more\n");
    boost::system::error_code ec;
    boost::filesystem::create_symlink("table.csv", dir / "in/tree/data/latest.csv", ec);
    const std::string manifest = dir / "in/manifest.toml";
    WriteText(manifest, test_support::UserPackageTable("test") + test_support::kKernelAndScripts + R"(
[[script]]
name = "cond.sh"
source = "cond.sh"
condition = 4

[[directory]]
path = "/rootfs/opt/t"
mode = "0750"

[[file]]
source = "plain.txt"
path = "/kelda_usr/t/plain.txt"

[[file]]
source = "blowfish.bin"
path = "/kelda_usr/t/blowfish.bin"
encoding = "blowfish"

[[file]]
source = "des.bin"
path = "/kelda_usr/t/des.bin"
encoding = "des"
fat = ["hidden", "readonly"]

[[file]]
source = "zlib.txt"
path = "/rootfs/opt/t/zlib.txt"
encoding = "zlib"
condition = 4

[[file]]
source = "empty.txt"
path = "/rootfs/opt/t/empty.txt"

[[link]]
path = "/rootfs/opt/t/current"
target = "zlib.txt"

[[tar]]
path = "/rootfs/opt/t/data.tar.gz"
from_dir = "tree"
)" + extra);
    return manifest;
}
