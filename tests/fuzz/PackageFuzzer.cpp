// An update package as the installer meets it on the medium. The first input byte lays the package out:
// its low two bits give the number of part files (1 to 4, "pkg" alone or "pkg.001" onwards), bit 2 puts a
// directory where the last part belongs; the rest is the package, split evenly over the parts. It is loaded
// and verified as the installer does, walked in install order (to the end of the stream, if it loaded) with
// the compliance checker visiting every item, and every file item's data is decoded with the installer's
// strategy into a bounded buffer.

#include "install/BufferedItemLoader.h"
#include "install/InstallItemComparator.h"
#include "install/PackageComplianceChecker.h"
#include "instrument/MD5Algorithm.h"
#include "pkg/decode/FileStrategy.h"
#include "pkg/decode/ProcessingStrategy.h"
#include "pkg/items/IPkgItem.h"
#include "pkg/items/ItemFile.h"
#include "pkg/read/IStreamReader.h"
#include "pkg/read/PackageChunksLoader.h"
#include "pkg/read/PackageParts.h"
#include "pkg/trust/IPkgVerifier.h"
#include "pkg/trust/SecurityLevel0Factory.h"
#include "pkg/writer/PackageWriter.h"
#include "tests/fuzz/FuzzTarget.h"
#include "tests/support/WriteAndLoadPackage.h"

#include <boost/filesystem.hpp>

#include <memory>
#include <string>
#include <vector>

using namespace vex::install;
using namespace vex::instrument;
using namespace vex::pkg;
using namespace vex::pkg::writer;

namespace
{
constexpr uint8_t kPartCountMask = 0x03;
constexpr uint8_t kLastPartIsDirectory = 0x04;
constexpr int64_t kLargestBuffer = int64_t{16} << 20;
constexpr int kMostBlocks = 64;
constexpr size_t kMostItems = 4096;

// Writes the parts and returns the path the installer would be given.
std::string layOut(const std::string& folder, uint8_t layout, const uint8_t* package, size_t size)
{
    const int parts = (layout & kPartCountMask) + 1;
    if (parts == 1)
    {
        const std::string path = folder + "/update.pkg";
        fuzz::writeFile(path, package, size);
        return path;
    }
    const std::string first = folder + "/update.001";
    const size_t share = size / parts;
    for (int index = 1; index <= parts; ++index)
    {
        const std::string path = PackageParts::partName(first, index);
        const size_t from = share * (index - 1);
        const size_t length = index == parts ? size - from : share;
        if (index == parts && (layout & kLastPartIsDirectory) != 0)
            boost::filesystem::create_directory(path);
        else
            fuzz::writeFile(path, package + from, length);
    }
    return first;
}

void decode(ItemFile& file)
{
    IStreamReader* reader = file.dataInfo().reader();
    if (reader == nullptr)
        return;
    const std::unique_ptr<ProcessingStrategy> strategy = StrategyFor(file);
    const int64_t capacity = strategy->bufferSize();
    int64_t remaining = reader->size();
    if (capacity <= 0 || capacity > kLargestBuffer || remaining < 0 || !reader->seek(0))
        return;
    // Exactly the promised capacity, so that a block written past it is caught.
    std::unique_ptr<char[]> output(new char[static_cast<size_t>(capacity)]);
    MD5Algorithm md5;
    for (int block = 0; block < kMostBlocks && remaining != 0; ++block)
    {
        const int64_t before = remaining;
        const int64_t produced = strategy->process(reader, remaining, output.get());
        if (produced < 0)
            return;
        FUZZ_REQUIRE(produced <= capacity);
        FUZZ_REQUIRE(remaining <= before);
        if (produced == 0 && remaining == before)
            return;
        md5.update(output.get(), static_cast<size_t>(produced));
    }
    md5.finalize();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    static const std::string folder = fuzz::scratchDirectory();
    fuzz::emptyDirectory(folder);
    const std::string path = layOut(folder, data[0], data + 1, size - 1);

    const std::unique_ptr<IPkgVerifier> verifier = SecurityLevel0Factory::instance().createVerifier(nullptr);
    PackageChunksLoader loader(test_support::makeChunkFactoryChain());
    if (!loader.load(path, verifier.get()))
        return 0;

    InstallItemComparator comparator;
    BufferedItemLoader items(loader, &comparator);
    // A package that loads is walked to the very end of its stream: no item is left behind.
    FUZZ_REQUIRE(loader.packageUnchanged());
    PackageComplianceChecker checker;
    for (size_t n = 0; n < kMostItems && items.hasNext(); ++n)
    {
        const boost::shared_ptr<IPkgItem> item = items.next();
        if (!item)
            continue;
        item->accept(checker);
        if (ItemFile* file = dynamic_cast<ItemFile*>(item.get()))
            decode(*file);
    }
    checker.CheckCompliance();
    return 0;
}
