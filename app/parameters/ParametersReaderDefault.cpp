#include "app/parameters/ParametersReaderDefault.h"

#include "app/parameters/OcmRamIOFactory.h"
#include "app/parameters/ParametersDeserializer.h"

namespace vex::app
{
ParametersReaderDefault& ParametersReaderDefault::Instance()
{
    static ParametersReaderDefault instance(OcmRamIOFactory::Instance());
    return instance;
}

ParametersReaderDefault::ParametersReaderDefault(ParametersIOFactory& factory) : factory_(factory) {}

bool ParametersReaderDefault::getParameters(std::string& pkgFileName, std::string& logFileName,
                                            int& installFlags)
{
    std::unique_ptr<IParametersIO> io = factory_.Create();
    if (!io)
    {
        return false;
    }
    ParametersDeserializer deserializer(io.get());
    return deserializer.Read(pkgFileName, logFileName, installFlags);
}

}  // namespace vex::app
