#pragma once

#include <string>

namespace vex::app
{
// Where the window gets the run's parameters when no package was named on the command line.
class ParametersReader
{
public:
    virtual ~ParametersReader() = default;

    // True when the parameters were read; on false the three outputs are left as they were.
    virtual bool getParameters(std::string& pkgFileName, std::string& logFileName, int& installFlags) = 0;
};

}  // namespace vex::app
