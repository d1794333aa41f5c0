#pragma once

#include "tar/TarExtractorFactory.h"

namespace vex::tar
{
// Makes extractors that stream tar items through libarchive.
class LibArchiveExtractorFactory : public TarExtractorFactory
{
public:
    // The process-wide factory, made on first use.
    static TarExtractorFactory& Instance();

    TarExtractor* Create() override;
};

}  // namespace vex::tar
