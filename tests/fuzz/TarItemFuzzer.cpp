// A tar item: the archive bytes as the item's data, extracted by the project's libarchive extractor into a
// scratch destination, then verified against its lists and time-stamped. Whatever the archive and its
// lists say, nothing outside the destination may appear, disappear or change, and "post_tar.sh" is never
// run (the shell here refuses every command).

#include "instrument/CommandRunner.h"
#include "instrument/linux/LinuxDiskUtils.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/MemoryViewReader.h"
#include "tar/LibArchiveExtractor.h"
#include "tests/fuzz/FuzzTarget.h"

#include <boost/filesystem.hpp>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

using namespace vex::instrument;
using namespace vex::pkg;
using namespace vex::tar;

namespace fs = boost::filesystem;

namespace
{
// Paths the lists of a mutated archive may well name: beside, above and across from the destination.
const char* const kSentinels[] = {"up", "x", "opt2/file", "data_tart", "data_md5"};
const char kItemPath[] = "/rootfs/opt/data.tar";

class RefusingShell : public CommandRunner
{
public:
    int RunRedirected(const std::string&, Capture, const std::string&) override { return 1; }
};

// What is seen of one entry outside the destination.
using Seen =
    std::tuple<unsigned, uintmax_t, int64_t, int64_t>;  // type and mode, size, mtime seconds, nanoseconds

std::map<std::string, Seen> outsideDestination(const std::string& scratch, const std::string& destination)
{
    std::map<std::string, Seen> seen;
    boost::system::error_code ec;
    for (fs::recursive_directory_iterator it(scratch, ec), end; !ec && it != end; it.increment(ec))
    {
        const std::string path = it->path().string();
        if (path == destination)
        {
            it.no_push();
            continue;
        }
        struct stat status = {};
        if (::lstat(path.c_str(), &status) == 0)
            seen[path] = Seen(status.st_mode, static_cast<uintmax_t>(status.st_size), status.st_mtim.tv_sec,
                              status.st_mtim.tv_nsec);
    }
    return seen;
}

// Run as root, an extraction could make device nodes and hand files to other owners; a fuzzer has no
// business doing either on the host. The process keeps its user id but no capability.
void dropCapabilities()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, none) != 0)
    {
        std::perror("capset");
        std::abort();
    }
}

struct Scene
{
    std::string scratch;
    std::string destination;
    // The extractor works from inside the destination; the fuzzer's relative paths need the old one back.
    std::string workingDirectory;
};

const Scene& scene()
{
    static const Scene made = []
    {
        dropCapabilities();
        Scene s;
        s.workingDirectory = fs::current_path().string();
        s.scratch = fuzz::scratchDirectory();
        s.destination = s.scratch + "/opt";
        fs::create_directories(s.destination);
        for (const char* name : kSentinels)
        {
            const fs::path path = fs::path(s.scratch) / name;
            fs::create_directories(path.parent_path());
            const std::string text = "sentinel\n";
            fuzz::writeFile(path.string(), reinterpret_cast<const uint8_t*>(text.data()), text.size());
        }
        return s;
    }();
    return made;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Scene& s = scene();
    fuzz::emptyDirectory(s.destination);
    const std::map<std::string, Seen> before = outsideDestination(s.scratch, s.destination);

    ItemTar item;
    item.setDestination(kItemPath);
    item.setInstalledSize(static_cast<uint32_t>(size));
    item.dataInfo().setReader(new MemoryViewReader(data, size));

    LinuxDiskUtils disk(s.scratch);
    RefusingShell shell;
    LibArchiveExtractor extractor(disk, shell);
    // A stamp far from any other time, so that stamping a file is always seen.
    extractor.SetDateTimeMode(TarExtractor::DateTimeMode::kPackage);
    extractor.SetDateTime("02/03/2001", "04.05");
    extractor.ExtractAndVerify(&item, s.destination);
    std::vector<std::string> errors;
    extractor.TakeErrors(errors);

    FUZZ_REQUIRE(::chdir(s.workingDirectory.c_str()) == 0);
    FUZZ_REQUIRE(outsideDestination(s.scratch, s.destination) == before);
    return 0;
}
