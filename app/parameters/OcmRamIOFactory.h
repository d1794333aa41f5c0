#pragma once

#include "app/parameters/OcmRamIO.h"
#include "app/parameters/ParametersIOFactory.h"

#include <string>

namespace vex::app
{
class OcmRamIOFactory : public ParametersIOFactory
{
public:
    // The process-wide factory, on the real physical-memory device.
    static OcmRamIOFactory& Instance();

    explicit OcmRamIOFactory(std::string devicePath = OcmRamIO::kDefaultDevicePath);

    std::unique_ptr<IParametersIO> Create() override;

private:
    std::string devicePath_;
};

}  // namespace vex::app
