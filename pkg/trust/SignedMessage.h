#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vex::pkg
{
// What an Ed25519 package signature signs: `context` (a fixed text naming the scheme, so that a signature
// made for one purpose passes for no other) followed by the SHA-512 digest of `data`. False only when the
// digest cannot be computed.
bool SignedMessage(const char* context, const uint8_t* data, size_t length, std::vector<uint8_t>& message);

}  // namespace vex::pkg
