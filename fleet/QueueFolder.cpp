#include "fleet/QueueFolder.h"

#include "base/AtomicFile.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vex::fleet
{
namespace
{
// Ten digits, so that names sort in the order they were made.
constexpr size_t kNameDigits = 10;

bool QueueName(const std::string& name, uint64_t& number)
{
    if (name.size() != kNameDigits + 5 || name.compare(kNameDigits, 5, ".json") != 0)
        return false;
    number = 0;
    for (size_t i = 0; i < kNameDigits; ++i)
    {
        if (name[i] < '0' || name[i] > '9')
            return false;
        number = number * 10 + uint64_t(name[i] - '0');
    }
    return true;
}
}  // namespace

QueueFolder::QueueFolder(std::string folder, size_t most) : folder_(std::move(folder)), most_(most) {}

std::vector<std::string> QueueFolder::names() const
{
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(folder_.c_str()), &::closedir);
    if (!folder)
        return names;
    // The folder is read at most this far; far more than the queue ever holds.
    const size_t mostEntries = 4 * most_ + 64;
    size_t seen = 0;
    uint64_t number = 0;
    while (const dirent* entry = ::readdir(folder.get()))
    {
        if (++seen > mostEntries)
            break;
        if (QueueName(entry->d_name, number))
            names.push_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool QueueFolder::add(const std::string& text, std::string& why)
{
    if (::mkdir(folder_.c_str(), 0755) != 0 && errno != EEXIST)
    {
        why = "cannot make " + folder_ + " (" + std::strerror(errno) + ")";
        return false;
    }
    std::vector<std::string> names = this->names();
    uint64_t next = 1, number = 0;
    if (!names.empty() && QueueName(names.back(), number))
        next = number + 1;
    // A full queue gives up its oldest documents; each pass removes one name.
    for (size_t i = 0; names.size() - i >= most_ && i < names.size(); ++i)
        ::unlink((folder_ + "/" + names[i]).c_str());
    char name[32];
    std::snprintf(name, sizeof name, "%010llu.json", static_cast<unsigned long long>(next % 10000000000ULL));
    return base::AtomicFile::write(folder_ + "/" + name, text, why);
}

bool QueueFolder::read(const std::string& name, size_t largest, std::string& text) const
{
    std::string problem;
    return base::AtomicFile::read(folder_ + "/" + name, largest, text, problem) ==
           base::AtomicFile::Read::kRead;
}

void QueueFolder::remove(const std::string& name) const
{
    ::unlink((folder_ + "/" + name).c_str());
}

}  // namespace vex::fleet
