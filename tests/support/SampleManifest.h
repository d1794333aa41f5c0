#pragma once

#include <string>

// Pieces of the package manifests the tool tests and the fuzz seeds write beside their inputs.
namespace test_support
{
// The [package] table of a USER package for "VX20A01", dated 06/15/2024 12.30, with `text1`.
inline std::string UserPackageTable(const std::string& text1)
{
    return R"([package]
type = "user"
date = "06/15/2024"
time = "12.30"
compatibility = ["VX20A01"]
text1 = ")" +
           text1 + "\"\n";
}

// A user kernel from "kernel.img" and the three scripts of every installation, each from the file of its
// name; it starts with an empty line, so that it can follow a table.
inline const char* const kKernelAndScripts = R"(
[[system]]
kind = "user-kernel"
source = "kernel.img"

[[script]]
name = "pre.sh"
source = "pre.sh"

[[script]]
name = "clean.sh"
source = "clean.sh"

[[script]]
name = "post.sh"
source = "post.sh"
)";
}  // namespace test_support
