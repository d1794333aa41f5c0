#include "base/UniqueFile.h"

#include <cerrno>

namespace vex::base
{
UniqueFile StreamOf(UniqueFd fd, const char* mode)
{
    if (!fd.valid())
    {
        return UniqueFile();
    }
    UniqueFile file(::fdopen(fd.get(), mode));
    if (file)
    {
        fd.release();
        return file;
    }
    const int reason = errno;
    fd.close();
    errno = reason;
    return file;
}

}  // namespace vex::base
