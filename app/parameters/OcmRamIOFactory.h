#pragma once

#include "OcmRamIO.h"
#include "ParametersIOFactory.h"

#include <string>

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
