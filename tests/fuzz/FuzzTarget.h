#pragma once

// What every fuzz target shares: the libFuzzer entry point it defines, a property check that aborts (so
// that libFuzzer and the replay driver both report the input), and a scratch directory for the targets that
// need files.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#define FUZZ_REQUIRE(condition) ((condition) ? (void)0 : fuzz::fail(#condition, __FILE__, __LINE__))

namespace fuzz
{
[[noreturn]] inline void fail(const char* condition, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
    std::abort();
}

// A private directory for the whole process, created on first use and removed at exit.
const std::string& scratchDirectory();

// Removes everything below `directory`, keeping the directory itself.
void emptyDirectory(const std::string& directory);

// Writes `size` bytes to `path`; false on any failure.
bool writeFile(const std::string& path, const uint8_t* data, size_t size);
}  // namespace fuzz
