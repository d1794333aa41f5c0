#pragma once

#include "IParametersIO.h"

#include <memory>

// Makes the accessor of the parameter memory, so that a bench without the board can stand in for it.
class ParametersIOFactory
{
public:
    virtual ~ParametersIOFactory() = default;

    // A new accessor, or null when there is none.
    virtual std::unique_ptr<IParametersIO> Create() = 0;
};
