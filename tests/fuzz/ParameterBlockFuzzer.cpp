// The run parameters left in the on-chip RAM block. The block is exactly as large as the real one, so that
// a read past it is caught; the input fills it from the start and its first byte fills what the input does
// not cover (zero bytes end strings early, other bytes make strings that never end).

#include "app/parameters/IParametersIO.h"
#include "app/parameters/ParametersDeserializer.h"
#include "app/parameters/ParametersIOFactory.h"
#include "app/parameters/ParametersReaderDefault.h"
#include "tests/fuzz/FuzzTarget.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

using namespace vex::app;

namespace
{
class BlockIO : public IParametersIO
{
public:
    explicit BlockIO(unsigned char* block) : block_(block) {}
    unsigned char* Open() override { return block_; }
    void Close() override {}

private:
    unsigned char* block_;
};

class BlockIOFactory : public ParametersIOFactory
{
public:
    explicit BlockIOFactory(unsigned char* block) : block_(block) {}
    std::unique_ptr<IParametersIO> Create() override
    {
        return std::unique_ptr<IParametersIO>(new BlockIO(block_));
    }

private:
    unsigned char* block_;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<unsigned char[]> block(new unsigned char[IParametersIO::kBlockSize]);
    const size_t used = std::min(size, IParametersIO::kBlockSize);
    std::memset(block.get(), size > 0 ? data[0] : 0, IParametersIO::kBlockSize);
    if (used > 0)
        std::memcpy(block.get(), data, used);

    BlockIOFactory factory(block.get());
    ParametersReaderDefault reader(factory);
    std::string package = "unchanged";
    std::string log = "unchanged";
    int flags = -7;
    if (reader.getParameters(package, log, flags))
    {
        // Both strings end inside the block, and reading consumes the header so that it is used only once.
        FUZZ_REQUIRE(package.size() < IParametersIO::kBlockSize && log.size() < IParametersIO::kBlockSize);
        FUZZ_REQUIRE(std::all_of(block.get(), block.get() + ParametersDeserializer::kHeaderSize,
                                 [](unsigned char b) { return b == 0; }));
        FUZZ_REQUIRE(package.find('\0') == std::string::npos && log.find('\0') == std::string::npos);
    }
    else
    {
        FUZZ_REQUIRE(package == "unchanged" && log == "unchanged" && flags == -7);
    }
    return 0;
}
