#include "app/parameters/OcmRamIOFactory.h"

#include <utility>

namespace vex::app
{
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

}  // namespace vex::app
