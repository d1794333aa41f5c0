#include "tools/vex-pkg/FileBytes.h"

#include <fstream>
#include <iterator>

namespace vex::tools
{
namespace
{
template <typename Container>
bool ReadInto(const std::string& path, Container& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}
}  // namespace

namespace FileBytes
{
bool Read(const std::string& path, std::string& out)
{
    return ReadInto(path, out);
}

bool Read(const std::string& path, std::vector<unsigned char>& out)
{
    return ReadInto(path, out);
}
}  // namespace FileBytes

}  // namespace vex::tools
