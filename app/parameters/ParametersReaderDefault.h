#pragma once

#include "app/parameters/ParametersIOFactory.h"
#include "app/parameters/ParametersReader.h"

namespace vex::app
{
// Reads the parameters from the block that the factory's accessor opens.
class ParametersReaderDefault : public ParametersReader
{
public:
    // The process-wide reader, on the on-chip RAM.
    static ParametersReaderDefault& Instance();

    // The factory is not owned and must outlive the reader.
    explicit ParametersReaderDefault(ParametersIOFactory& factory);

    bool getParameters(std::string& pkgFileName, std::string& logFileName, int& installFlags) override;

private:
    ParametersIOFactory& factory_;
};

}  // namespace vex::app
