#pragma once

#include "app/parameters/IParametersIO.h"

#include <memory>

namespace vex::app
{
// Makes the accessor of the parameter memory, so that a bench without the board can stand in for it.
class ParametersIOFactory
{
public:
    virtual ~ParametersIOFactory() = default;

    // A new accessor, or null when there is none.
    virtual std::unique_ptr<IParametersIO> Create() = 0;
};

}  // namespace vex::app
