#include "instrument/FileStatus.h"

#include <boost/filesystem.hpp>

namespace vex::instrument
{
namespace fs = boost::filesystem;

bool PathExists(const std::string& path)
{
    boost::system::error_code ec;
    return fs::exists(fs::path(path), ec);
}

bool IsSymlink(const std::string& path)
{
    boost::system::error_code ec;
    return fs::is_symlink(fs::symlink_status(fs::path(path), ec));
}

}  // namespace vex::instrument
