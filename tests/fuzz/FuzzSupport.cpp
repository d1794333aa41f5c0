#include "tests/fuzz/FuzzTarget.h"

#include <boost/filesystem.hpp>

#include <memory>
#include <vector>

namespace fs = boost::filesystem;

namespace fuzz
{
namespace
{
class ScratchDirectory
{
public:
    ScratchDirectory()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vex-fuzz-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (::mkdtemp(name.data()) == nullptr)
        {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = name.data();
    }
    ~ScratchDirectory()
    {
        boost::system::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};
}  // namespace

const std::string& scratchDirectory()
{
    static ScratchDirectory directory;
    return directory.path();
}

void emptyDirectory(const std::string& directory)
{
    boost::system::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec))
    {
        boost::system::error_code ignored;
        // An extraction may have left directories that cannot be read or entered.
        if (fs::is_directory(fs::symlink_status(it->path(), ignored)))
        {
            fs::permissions(it->path(), fs::owner_all | fs::add_perms, ignored);
            emptyDirectory(it->path().string());
        }
        fs::remove(it->path(), ignored);
    }
}

bool writeFile(const std::string& path, const uint8_t* data, size_t size)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    return file && (size == 0 || std::fwrite(data, 1, size, file.get()) == size) &&
           std::fflush(file.get()) == 0;
}
}  // namespace fuzz
