#pragma once

#include <string>

namespace vex::tools
{
// Where an item lands below an extraction root, made safe to write: the destination is absolute in the
// package ("/rootfs/x"), has no ".." component, and no folder on the way from the root is a symbolic link
// (a link could lead anywhere, including out of the root). Missing folders on the way are created.
namespace SafeDestination
{
// `full` receives root + destination. False with the reason in `why`; nothing is created then beyond the
// folders already walked.
bool Prepare(const std::string& root, const std::string& destination, std::string& full, std::string& why);
// True when `path` itself is a symbolic link (writing to it would follow the link).
bool IsLink(const std::string& path);
}  // namespace SafeDestination

}  // namespace vex::tools
