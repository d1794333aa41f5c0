#include "tar/LibArchiveExtractorFactory.h"

#include "tar/LibArchiveExtractor.h"

#include <new>

namespace vex::tar
{
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

}  // namespace vex::tar
