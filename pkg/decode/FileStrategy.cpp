#include "pkg/decode/FileStrategy.h"

#include "pkg/decode/DecryptionStrategy.h"
#include "pkg/decode/QtUncompressionStrategy.h"
#include "pkg/decode/ReadingStrategy.h"
#include "pkg/decode/SubChunckReadingStrategy.h"
#include "pkg/items/ItemFile.h"
#include "pkg/read/PackageFormat.h"

namespace vex::pkg
{
std::unique_ptr<ProcessingStrategy> StrategyFor(const ItemFile& item)
{
    if (item.compression() == PackageFormat::kCompressionQtZlib)
        return std::make_unique<SubChunckReadingStrategy>(std::make_unique<QtUncompressionStrategy>());
    if (item.cipherType() != PackageFormat::kCipherNone)
        return std::make_unique<DecryptionStrategy>(static_cast<int>(item.cipherType() & 0xff));
    return PlainStrategy();
}

std::unique_ptr<ProcessingStrategy> PlainStrategy()
{
    return std::make_unique<ReadingStrategy>(ReadingStrategy::kPlainBlock);
}

}  // namespace vex::pkg
