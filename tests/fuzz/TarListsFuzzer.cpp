// The "_md5" and "_tart" lists of a tar item, line by line, through the parsers the verification and the
// size estimate use, and the item names the lists are found by.

#include "FuzzTarget.h"
#include "TarLists.h"

#include <sstream>
#include <string>

namespace
{
const char kDestination[] = "/emmc/rootfs/opt";

void parseLine(const std::string& line)
{
    for (const std::string& token : TarLists::Tokenise(line))
        FUZZ_REQUIRE(!token.empty() && token.find(' ') == std::string::npos);

    TarLists::Md5Line md5;
    if (TarLists::ParseMd5Line(line, md5))
        TarLists::ClimbsOut(md5.path);

    TarLists::TarListLine entry;
    if (TarLists::ParseTarListLine(line, entry))
    {
        TarLists::IsTopDirectory(entry.name);
        TarLists::ClimbsOut(entry.name);
        const std::string path = TarLists::MemberPath(kDestination, entry.name);
        FUZZ_REQUIRE(path.compare(0, sizeof kDestination - 1, kDestination) == 0);
    }
    TarLists::ListBaseName(line);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::istringstream lines(std::string(reinterpret_cast<const char*>(data), size));
    std::string line;
    while (std::getline(lines, line)) parseLine(line);
    return 0;
}
