#pragma once

#include "app/parameters/IParametersIO.h"
#include "base/UniqueFd.h"

#include <sys/types.h>
#include <memory>
#include <string>

namespace vex::app
{
// The parameter block in the on-chip RAM, mapped through the physical-memory device.
class OcmRamIO : public IParametersIO
{
public:
    static constexpr const char* kDefaultDevicePath = instrument::ParameterBlock::kDefaultDevicePath;
    // Physical address of the on-chip RAM, i.e. its offset in the physical-memory device.
    static constexpr off_t kOcmRamAddress = instrument::ParameterBlock::kOcmRamAddress;

    explicit OcmRamIO(std::string devicePath = kDefaultDevicePath);
    ~OcmRamIO() override;
    OcmRamIO(const OcmRamIO&) = delete;
    OcmRamIO& operator=(const OcmRamIO&) = delete;

    unsigned char* Open() override;
    void Close() override;

private:
    struct MappingDeleter
    {
        void operator()(void* start) const;
    };

    std::string devicePath_;
    base::UniqueFd fd_;
    std::unique_ptr<void, MappingDeleter> mapping_;
};

}  // namespace vex::app
