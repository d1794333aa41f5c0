// The "_md5" and "_tart" lists of a tar item through the parsers the verification and the size estimate
// use, and the item names the lists are found by. A listed name that is not refused as climbing out must
// land below the destination.

#include "instrument/PartitionPaths.h"
#include "tar/TarLists.h"
#include "tests/fuzz/FuzzTarget.h"

#include <sstream>
#include <string>

using namespace vex::instrument;
using namespace vex::tar;

namespace
{
const char kDestination[] = "/emmc/rootfs/opt";

void checkMember(const TarLists::TarListLine& entry)
{
    TarLists::IsTopDirectory(entry.name);
    const std::string path = TarLists::MemberPath(kDestination, entry.name);
    if (!TarLists::MemberClimbsOut(entry.name))
        FUZZ_REQUIRE(IsUnder(path, kDestination));
}

void parseLine(const std::string& line)
{
    for (const std::string& token : TarLists::Tokenise(line))
        FUZZ_REQUIRE(!token.empty() && token.find(' ') == std::string::npos);

    TarLists::Md5Line md5;
    if (TarLists::ParseMd5Line(line, md5) && !HasParentComponent(md5.path))
        FUZZ_REQUIRE(IsUnder(std::string(kDestination) + "/" + md5.path, kDestination));

    TarLists::TarListLine entry;
    if (TarLists::ParseTarListLine(line, entry))
        checkMember(entry);
    TarLists::ListBaseName(line);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) parseLine(line);

    // The walker the verification and the disk check share, over the whole text as one "_tart" list.
    std::istringstream list(text);
    std::string badLine;
    TarLists::WalkTarList(
        list,
        [](const TarLists::TarListLine& entry)
        {
            checkMember(entry);
            return true;
        },
        badLine);
    return 0;
}
