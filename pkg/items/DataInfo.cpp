#include "pkg/items/DataInfo.h"

#include "pkg/read/IStreamReader.h"

#include <algorithm>

namespace vex::pkg
{
DataInfo::DataInfo()
{
    digest_.fill(0);
}

DataInfo::~DataInfo()
{
    digest_.fill(0);
}

void DataInfo::setDigest(const uint8_t* bytes)
{
    if (bytes == nullptr)
    {
        digest_.fill(0);
        return;
    }
    std::copy(bytes, bytes + digest_.size(), digest_.begin());
}

void DataInfo::setReader(IStreamReader* reader)
{
    reader_.reset(reader);
}

}  // namespace vex::pkg
