#pragma once

#include "base/UniqueFd.h"

#include <cstdio>
#include <memory>

namespace vex::base
{
// Owns a FILE*: closed when the owner goes. Where the close itself can fail a write (a buffered stream
// flushes there), close it by hand with std::fclose(file.release()) and look at the result.
struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// A stream over `fd` (fdopen with `mode`), which then owns the descriptor. When no stream can be made the
// descriptor is closed, the result is empty and errno still says why fdopen failed.
UniqueFile StreamOf(UniqueFd fd, const char* mode);

}  // namespace vex::base
