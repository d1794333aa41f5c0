#include "LibArchiveExtractorFactory.h"

#include "LibArchiveExtractor.h"

#include <new>

TarExtractorFactory& LibArchiveExtractorFactory::Instance()
{
    static LibArchiveExtractorFactory factory;
    return factory;
}

TarExtractor* LibArchiveExtractorFactory::Create()
{
    LibArchiveExtractor* extractor = new (std::nothrow) LibArchiveExtractor();
    if (extractor != nullptr && !extractor->IsUsable())
    {
        delete extractor;
        return nullptr;
    }
    return extractor;
}
