#include "ParametersReaderDefault.h"

#include "OcmRamIOFactory.h"
#include "ParametersDeserializer.h"

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
