#pragma once

#include "pkg/read/IStreamReader.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vex::pkg
{
// Reads the stream's bytes at [offset, offset + length) into `bytes` (resized to `length`), across as many
// reads as the stream needs; false when it has fewer bytes there or a read fails.
bool ReadAt(IStreamReader& reader, int64_t offset, int64_t length, std::vector<uint8_t>& bytes);

}  // namespace vex::pkg
