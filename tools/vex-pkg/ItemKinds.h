#pragma once

#include <cstdint>
#include <string>

namespace vex::tools
{
// The names the package tool gives the package types, item kinds and file encodings, in manifests and
// listings alike.
namespace ItemKinds
{
// "service", "user" or "maintenance"; empty for any other package type.
std::string PackageTypeName(uint32_t packageType);
// False for a name that is none of the package types.
bool PackageTypeFromName(const std::string& name, uint16_t& packageType);
// Every package type name, separated by ", " (for error messages).
std::string PackageTypeNames();

// "installer-kernel" ... "user-kernel" for the system image chunk types 2 to 14; empty for any other type.
std::string SystemKindName(uint32_t chunkType);
// The chunk type of a system kind name, or 0 when the name is none of them.
uint32_t SystemKindType(const std::string& name);
// What a chunk of `chunkType` holds: "header", a system kind name, "script", "directory", "file", "link",
// "tar", or "unknown".
std::string ChunkKindName(uint32_t chunkType);
// Every system kind name, in chunk type order, separated by ", " (for error messages).
std::string SystemKindNames();

enum class Encoding
{
    Plain,
    Blowfish,
    Des,
    Zlib,
};
const char* EncodingName(Encoding encoding);
// False for a name the format has no encoding for.
bool EncodingFromName(const std::string& name, Encoding& encoding);
// The encoding a stored file's compression and cipher fields describe, as the installer decodes it
// (compression wins over the cipher); false for codes the installer cannot decode.
bool EncodingOf(uint32_t compression, uint32_t cipher, Encoding& encoding);
// Where the installer writes a system image below the eMMC root; empty for the installer's own images, which
// it never installs.
std::string SystemDestination(uint32_t chunkType);
}  // namespace ItemKinds

}  // namespace vex::tools
