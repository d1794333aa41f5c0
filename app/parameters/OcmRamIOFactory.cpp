#include "OcmRamIOFactory.h"

#include <utility>

OcmRamIOFactory& OcmRamIOFactory::Instance()
{
    static OcmRamIOFactory instance;
    return instance;
}

OcmRamIOFactory::OcmRamIOFactory(std::string devicePath) : devicePath_(std::move(devicePath)) {}

std::unique_ptr<IParametersIO> OcmRamIOFactory::Create()
{
    return std::make_unique<OcmRamIO>(devicePath_);
}
