#pragma once

#include "TarExtractorFactory.h"

// Makes extractors that stream tar items through libarchive.
class LibArchiveExtractorFactory : public TarExtractorFactory
{
public:
    // The process-wide factory, made on first use.
    static TarExtractorFactory& Instance();

    TarExtractor* Create() override;
};
