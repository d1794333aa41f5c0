#include "pkg/read/PackageParts.h"

#include <boost/filesystem.hpp>

#include <cstdio>

namespace vex::pkg
{
namespace
{
constexpr size_t kCounterDigits = 3;

bool exists(const std::string& path)
{
    boost::system::error_code ec;
    return boost::filesystem::exists(path, ec);
}
}  // namespace

bool PackageParts::isFirstPart(const std::string& path)
{
    return path.size() >= kCounterDigits &&
           path.compare(path.size() - kCounterDigits, kCounterDigits, "001") == 0;
}

std::string PackageParts::firstPartName(const std::string& output)
{
    return output + ".001";
}

std::string PackageParts::partName(const std::string& firstPart, int index)
{
    if (firstPart.size() < kCounterDigits || index < 1 || index > kLastIndex)
    {
        return std::string();
    }
    char counter[16];
    std::snprintf(counter, sizeof counter, "%03d", index);
    return firstPart.substr(0, firstPart.size() - kCounterDigits) + counter;
}

std::vector<std::string> PackageParts::partPaths(const std::string& path)
{
    std::vector<std::string> parts{path};
    if (!isFirstPart(path))
    {
        return parts;
    }
    for (int index = 2; index <= kLastIndex; ++index)
    {
        const std::string name = partName(path, index);
        if (!exists(name))
        {
            break;
        }
        parts.push_back(name);
    }
    return parts;
}

}  // namespace vex::pkg
