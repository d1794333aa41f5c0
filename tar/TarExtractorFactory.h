#pragma once

namespace vex::tar
{
class TarExtractor;

// Makes one extractor per tar item; the caller owns (and deletes) what Create returns.
class TarExtractorFactory
{
public:
    virtual ~TarExtractorFactory() = default;
    // Null when no extractor can be made.
    virtual TarExtractor* Create() = 0;
};

}  // namespace vex::tar
