#include "tar/LibArchiveExtractor.h"

#include "base/InstallProgressNotifierInterface.h"
#include "instrument/linux/LinuxDiskUtils.h"
#include "instrument/linux/SystemCommandRunner.h"
#include "log/LogStream.h"
#include "pkg/items/ItemTar.h"
#include "pkg/writer/TarItemBuilder.h"
#include "tests/support/MemoryStreamReader.h"
#include "tests/support/TempDir.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace vex::base;
using namespace vex::instrument;
using namespace vex::log;
using namespace vex::pkg;
using namespace vex::pkg::writer;
using namespace vex::tar;

namespace fs = boost::filesystem;
using Bytes = std::vector<uint8_t>;

namespace
{
const int64_t kArchiveTime = 1700000000;  // 2023-11-14, far from "now" and from the package date below

// Keeps what the extractor logs, on top of the program's log.
class RecordingExtractor : public LibArchiveExtractor
{
public:
    RecordingExtractor(DiskUtils& diskUtils, CommandRunner& commandRunner)
        : LibArchiveExtractor(diskUtils, commandRunner)
    {
    }
    void Log(const std::string& text) override { logged.push_back(text); }
    std::vector<std::string> logged;
};

class CountingNotifier : public InstallProgressNotifierInterface
{
public:
    void BytesProcessed(long long n) override { processed += n; }
    void StatusMessage(const char*) override {}
    void ErrorMessage(const char*) override {}
    void BytesToProcess(long long) override {}
    long long processed = 0;
};

std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p.string(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Archives written member by member with libarchive, for what the item builder will not make.
Bytes WriteArchive(const std::vector<std::pair<std::string, std::string>>& files,
                   int filter = ARCHIVE_FILTER_NONE)
{
    std::unique_ptr<archive, int (*)(archive*)> a(archive_write_new(), archive_write_free);
    archive_write_set_format_pax_restricted(a.get());
    archive_write_add_filter(a.get(), filter);
    std::vector<char> buffer(8 << 20);
    size_t used = 0;
    archive_write_open_memory(a.get(), buffer.data(), buffer.size(), &used);
    for (const auto& f : files)
    {
        std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname(e.get(), f.first.c_str());
        archive_entry_set_filetype(e.get(), AE_IFREG);
        archive_entry_set_perm(e.get(), 0644);
        archive_entry_set_size(e.get(), static_cast<la_int64_t>(f.second.size()));
        archive_write_header(a.get(), e.get());
        archive_write_data(a.get(), f.second.data(), f.second.size());
    }
    archive_write_close(a.get());
    return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
}

// The same bytes through one of libarchive's compressors, as a packager might have compressed the tar.
Bytes Compress(const Bytes& tar, int filter)
{
    std::unique_ptr<archive, int (*)(archive*)> a(archive_write_new(), archive_write_free);
    archive_write_set_format_raw(a.get());
    archive_write_add_filter(a.get(), filter);
    std::vector<char> buffer(tar.size() + (1 << 20));
    size_t used = 0;
    archive_write_open_memory(a.get(), buffer.data(), buffer.size(), &used);
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(), archive_entry_free);
    archive_entry_set_filetype(e.get(), AE_IFREG);
    archive_write_header(a.get(), e.get());
    archive_write_data(a.get(), tar.data(), tar.size());
    archive_write_close(a.get());
    return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
}

class ExtractorTest : public testing::Test
{
protected:
    ExtractorTest() : disk(dir.str()), extractor(disk, SystemCommandRunner::Instance())
    {
        fs::create_directories(dest);
        LogStream::Instance().Open(dir / "install.log");
        extractor.SetDateTimeMode(TarExtractor::DateTimeMode::kAsExtracted);
    }
    ~ExtractorTest() override { LogStream::Instance().Close(); }

    // A typical item: a top directory, files in subdirectories, a link, an executable.
    static TarItemBuilder Bundle()
    {
        TarItemBuilder b("bundle");
        b.SetModificationTime(kArchiveTime);
        b.AddDirectory("./");
        b.AddDirectory("./etc/");
        b.AddFile("./etc/config", "key=value\n", 0640);
        b.AddDirectory("./lib/");
        b.AddFile("./lib/b.so", std::string(70000, 'b'), 0755);
        b.AddSymlink("./lib/a.so", "b.so");
        b.AddFile("./empty", "");
        return b;
    }
    // Places `archive` in `item` as its window; the reader stays reachable through `window`.
    void Load(const Bytes& archive, const std::string& path = "/rootfs/opt/bundle.tar.gz",
              int64_t claimed = -1)
    {
        window = new MemoryStreamReader(archive, claimed);
        item.dataInfo().setReader(window);
        item.setDestination(path);
    }
    bool Logged(const std::string& line) const
    {
        for (const std::string& l : extractor.logged)
            if (l == line)
                return true;
        return false;
    }
    std::vector<std::string> Errors()
    {
        std::vector<std::string> out;
        extractor.TakeErrors(out);
        return out;
    }
    void WriteList(const std::string& name, const std::string& text) { std::ofstream(dest / name) << text; }

    TempDir dir;
    fs::path dest = dir.path() / "dest";
    LinuxDiskUtils disk;
    RecordingExtractor extractor;
    ItemTar item;
    MemoryStreamReader* window = nullptr;
};

// --- Whole extraction, verification and clean-up ---

class RoundTripTest : public ExtractorTest, public testing::WithParamInterface<int>
{
};

TEST_P(RoundTripTest, ExtractsVerifiesAndConsumesTheLists)
{
    const TarItemBuilder bundle = Bundle();
    Bytes tar;
    ASSERT_TRUE(bundle.Build(tar));
    Load(GetParam() == ARCHIVE_FILTER_NONE ? tar : Compress(tar, GetParam()));
    CountingNotifier notifier;
    extractor.SetNotifier(&notifier);
    const fs::path before = fs::current_path();

    ASSERT_TRUE(extractor.ExtractAndVerify(&item, dest.string())) << testing::PrintToString(Errors());

    EXPECT_EQ(ReadFile(dest / "etc/config"), "key=value\n");
    EXPECT_EQ(ReadFile(dest / "lib/b.so"), std::string(70000, 'b'));
    EXPECT_EQ(fs::read_symlink(dest / "lib/a.so"), fs::path("b.so"));
    EXPECT_EQ(fs::status(dest / "lib/b.so").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(dest / "etc/config").permissions(), fs::perms(0640));
    EXPECT_TRUE(fs::is_regular_file(dest / "empty"));
    EXPECT_FALSE(fs::exists(dest / "bundle_md5"));
    EXPECT_FALSE(fs::exists(dest / "bundle_tart"));
    EXPECT_TRUE(Logged("    All MD5 verified."));
    EXPECT_TRUE(Logged("    Done."));
    // Progress counts what the members expand to, as the item's installed size does.
    EXPECT_EQ(static_cast<uint64_t>(notifier.processed), bundle.ExpandedSize());
    EXPECT_EQ(fs::current_path(), before);
    EXPECT_EQ(window->tell(), window->size());
    EXPECT_TRUE(Errors().empty());
}

INSTANTIATE_TEST_SUITE_P(Compression, RoundTripTest,
                         testing::Values(ARCHIVE_FILTER_NONE, ARCHIVE_FILTER_GZIP, ARCHIVE_FILTER_BZIP2,
                                         ARCHIVE_FILTER_XZ));

// --- Time stamps ---

struct StampCase
{
    TarExtractor::DateTimeMode mode;
    const char* expectedLocal;  // "%m/%d/%Y %H.%M", or "archive" / "now"
};

class TimeStampTest : public ExtractorTest, public testing::WithParamInterface<StampCase>
{
};

TEST_P(TimeStampTest, StampsFilesAndDirectoriesByMode)
{
    Bytes tar;
    ASSERT_TRUE(Bundle().Build(tar));
    Load(tar);
    extractor.SetDateTimeMode(GetParam().mode);
    extractor.SetDateTime("03/15/2024", "10.30");
    const std::time_t start = std::time(nullptr);
    ASSERT_TRUE(extractor.ExtractAndVerify(&item, dest.string()));
    for (const char* member : {"etc/config", "lib/b.so", "etc"})
    {
        const std::time_t t = fs::last_write_time(dest / member);
        const std::string expected = GetParam().expectedLocal;
        if (expected == "archive")
            EXPECT_EQ(t, kArchiveTime) << member;
        else if (expected == "now")
            EXPECT_GE(t, start - 60) << member;
        else
        {
            char text[32];
            std::tm parts;
            std::strftime(text, sizeof text, "%m/%d/%Y %H.%M", localtime_r(&t, &parts));
            EXPECT_EQ(text, expected) << member;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, TimeStampTest,
                         testing::Values(StampCase{TarExtractor::DateTimeMode::kNow, "now"},
                                         StampCase{TarExtractor::DateTimeMode::kPackage, "03/15/2024 10.30"},
                                         StampCase{TarExtractor::DateTimeMode::kAsExtracted, "archive"}));

// --- Selected members and skipping ---

TEST_F(ExtractorTest, SelectedExtractionWritesOnlyTheMembersAsked)
{
    Bytes tar;
    ASSERT_TRUE(Bundle().Build(tar));
    Load(tar);
    ASSERT_TRUE(extractor.ExtractSelected(&item, dest.string(), {"./bundle_tart", "./bundle_md5"}));
    EXPECT_EQ(ReadFile(dest / "bundle_tart"), Bundle().TarList());
    EXPECT_TRUE(fs::exists(dest / "bundle_md5"));
    EXPECT_FALSE(fs::exists(dest / "etc"));
    EXPECT_FALSE(fs::exists(dest / "lib"));
}

TEST_F(ExtractorTest, AnEmptySelectionIsRefusedWithoutReading)
{
    Bytes tar;
    ASSERT_TRUE(Bundle().Build(tar));
    Load(tar);
    EXPECT_FALSE(extractor.ExtractSelected(&item, dest.string(), {}));
    EXPECT_EQ(window->bytesRead, 0u);
    EXPECT_TRUE(fs::is_empty(dest));
}

// The passes before the installation need only the lists, at the head of the archive: with gzip nothing
// after them can be sought over, so reading on would decompress the whole archive for two small files.
TEST_F(ExtractorTest, SelectionUntilFoundStopsReadingOnceEveryPatternHasItsMember)
{
    // Bytes gzip cannot shrink, several times the 1 MiB the extractor asks for at a time.
    TarItemBuilder b("bundle");
    uint32_t x = 1;
    for (int n = 0; n < 40; ++n)
    {
        std::string bytes(100000, '\0');
        for (char& c : bytes) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
        b.AddFile("./data/f" + std::to_string(n), bytes);
    }
    Bytes tar;
    ASSERT_TRUE(b.Build(tar, TarItemBuilder::Compression::Gzip));
    Load(tar);
    ASSERT_TRUE(extractor.ExtractSelectedUntilFound(&item, dest.string(), {"./bundle_tart", "./bundle_md5"}));
    EXPECT_EQ(ReadFile(dest / "bundle_tart"), b.TarList());
    EXPECT_EQ(ReadFile(dest / "bundle_md5"), b.Md5List());
    EXPECT_FALSE(fs::exists(dest / "data"));
    EXPECT_LT(window->bytesRead, tar.size() / 2);

    // Read to its end, the same archive gives the same files.
    fs::remove_all(dest);
    fs::create_directories(dest);
    Load(tar);
    ASSERT_TRUE(extractor.ExtractSelected(&item, dest.string(), {"./bundle_tart", "./bundle_md5"}));
    EXPECT_EQ(ReadFile(dest / "bundle_tart"), b.TarList());
    EXPECT_EQ(window->bytesRead, tar.size());
}

TEST_F(ExtractorTest, SelectionUntilFoundReadsOnWhileAPatternHasNoMember)
{
    const Bytes tar =
        WriteArchive({{"./bundle_tart", "list"}, {"./x", std::string(3000, 'x')}}, ARCHIVE_FILTER_GZIP);
    Load(tar);
    EXPECT_TRUE(extractor.ExtractSelectedUntilFound(&item, dest.string(), {"./bundle_tart", "./bundle_md5"}));
    EXPECT_EQ(ReadFile(dest / "bundle_tart"), "list");
    EXPECT_FALSE(fs::exists(dest / "bundle_md5"));
    EXPECT_FALSE(fs::exists(dest / "x"));
    EXPECT_EQ(window->bytesRead, tar.size());
}

// A pass that stops at the first copy of a list must never count or measure a list other than the one the
// installation verifies against; a second copy is refused before it is written, whichever way it is read.
TEST_F(ExtractorTest, ASecondMemberSelectedByTheSamePatternIsRefusedUnwritten)
{
    const Bytes tar = WriteArchive({{"./bundle_tart", "first"}, {"./x", "x"}, {"bundle_tart", "second"}},
                                   ARCHIVE_FILTER_GZIP);
    Load(tar);
    EXPECT_FALSE(extractor.ExtractSelected(&item, dest.string(), {"./bundle_tart"}));
    EXPECT_EQ(ReadFile(dest / "bundle_tart"), "first");
    const std::vector<std::string> errors = Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "A second member selected by './bundle_tart': bundle_tart");
}

TEST_F(ExtractorTest, AnExtractionThatVerifiesRefusesASecondCopyOfEitherList)
{
    for (const std::string list : {"bundle_tart", "bundle_md5"})
    {
        fs::remove_all(dest);
        fs::create_directories(dest);
        TarItemBuilder b("bundle");
        b.AddFile("./a", "alpha");
        // The builder's lists and member, then one more member named like a list.
        const std::string listText = list == "bundle_tart" ? b.TarList() : b.Md5List();
        const Bytes tar = WriteArchive({{"./bundle_md5", b.Md5List()},
                                        {"./bundle_tart", b.TarList()},
                                        {"./a", "alpha"},
                                        {"./" + list, listText + "extra\n"}});
        Load(tar);
        EXPECT_FALSE(extractor.ExtractAndVerify(&item, dest.string())) << list;
        EXPECT_EQ(ReadFile(dest / list), listText) << list;
        const std::vector<std::string> errors = Errors();
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors[0], "A second member selected by './" + list + "': ./" + list);
    }
}

TEST_F(ExtractorTest, AnExtractionThatVerifiesStillAcceptsOneCopyOfEachList)
{
    TarItemBuilder b("bundle");
    b.AddFile("./a", "alpha");
    b.AddFile("./sub/bundle_tart", "a member of that name below the top is not a list");
    Bytes tar;
    ASSERT_TRUE(b.Build(tar, TarItemBuilder::Compression::Gzip));
    Load(tar);
    EXPECT_TRUE(extractor.ExtractAndVerify(&item, dest.string())) << testing::PrintToString(Errors());
    EXPECT_EQ(ReadFile(dest / "sub/bundle_tart"), "a member of that name below the top is not a list");
}

TEST_F(ExtractorTest, SkipsOfAMebibyteOrMoreAreSoughtShorterOnesRead)
{
    TarItemBuilder b("big");
    b.AddFile("./large", std::string(5 << 20, 'L'));
    b.AddFile("./small", std::string(300 << 10, 's'));
    b.AddFile("./last", "x");
    Bytes tar;
    ASSERT_TRUE(b.Build(tar));
    Load(tar, "/rootfs/big.tar");
    ASSERT_TRUE(extractor.ExtractSelected(&item, dest.string(), {"./last"}));
    EXPECT_EQ(ReadFile(dest / "last"), "x");
    // The 5 MiB member is passed over by seeking: at most one 1 MiB piece of it was read.
    EXPECT_LT(window->bytesRead, tar.size() - (3u << 20));
    // The 300 KiB member is not sought over: everything after the large member was read.
    EXPECT_GE(window->bytesRead, tar.size() - (5u << 20));
}

// --- Absolute member names ---

TEST_F(ExtractorTest, AbsoluteMemberNamesLandBelowTheDestination)
{
    // Were the leading "/" kept, the member would be written at its absolute place: here, a sibling of the
    // destination inside the test's own directory.
    const fs::path outside = dir.path() / "outside" / "x";
    Load(WriteArchive({{outside.string(), "abs"}, {"//double", "dd"}}), "/rootfs/abs.tar");
    ASSERT_TRUE(extractor.Extract(&item, dest.string())) << testing::PrintToString(Errors());
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_EQ(ReadFile(dest / outside.relative_path()), "abs");
    EXPECT_EQ(ReadFile(dest / "double"), "dd");
}

TEST_F(ExtractorTest, AMemberThatClimbsOutFailsTheExtraction)
{
    Load(WriteArchive({{"./first", "yes"}, {"../escaped", "no"}, {"./after", "no"}}), "/rootfs/dots.tar");
    // libarchive refuses the member; the refusal is an extraction error with the library's own text.
    EXPECT_FALSE(extractor.Extract(&item, dest.string()));
    EXPECT_FALSE(fs::exists(dir.path() / "escaped"));
    EXPECT_EQ(ReadFile(dest / "first"), "yes");
    const std::vector<std::string> errors = Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("archive_read_extract2() error: ", 0), 0u) << errors[0];
    EXPECT_GT(errors[0].size(), std::string("archive_read_extract2() error: ").size());
}

// A write that fails part-way (here at the file size limit) fails the extraction, and the system's reason
// follows the library's text. The library itself only warns about it.
TEST_F(ExtractorTest, AFailedWriteOfMemberDataFailsTheExtraction)
{
    Load(WriteArchive({{"./small", "ok"}, {"./big", std::string(256 * 1024, 'x')}}), "/rootfs/big.tar");
    struct rlimit saved = {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool extracted = extractor.Extract(&item, dest.string());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(extracted);
    const std::vector<std::string> errors = Errors();
    ASSERT_EQ(errors.size(), 2u) << testing::PrintToString(errors);
    EXPECT_EQ(errors[0].rfind("archive_read_extract2() error: ", 0), 0u) << errors[0];
    EXPECT_EQ(errors[1], "    " + dest.string() + "/big: " + std::strerror(EFBIG));
}

// --- Extraction failures: texts and restored state ---

struct FailureCase
{
    const char* name;
    std::function<Bytes()> archive;
    int64_t claimedSize;
    bool missingDestination;
    const char* expectedPrefix;
};

class ExtractFailureTest : public ExtractorTest, public testing::WithParamInterface<FailureCase>
{
};

TEST_P(ExtractFailureTest, FailsWithItsTextAndRestoresTheWorkingDirectory)
{
    const FailureCase& fc = GetParam();
    Load(fc.archive(), "/rootfs/bundle.tar", fc.claimedSize);
    const std::string target = fc.missingDestination ? (dir.path() / "missing").string() : dest.string();
    const fs::path before = fs::current_path();
    EXPECT_FALSE(extractor.ExtractAndVerify(&item, target));
    const std::vector<std::string> errors = Errors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front().rfind(fc.expectedPrefix, 0), 0u) << errors.front();
    EXPECT_EQ(fs::current_path(), before);
    EXPECT_TRUE(Errors().empty()) << "TakeErrors hands the texts over once";
}

Bytes ValidTar()
{
    Bytes tar;
    TarItemBuilder b("bundle");
    b.SetIncludeLists(false);
    b.AddFile("./a", std::string(4096, 'a'));
    b.AddFile("./b", "b");
    b.Build(tar);
    return tar;
}

// Bytes that do not compress, so that a cut compressed archive still opens and fails further on.
Bytes NoisyTar()
{
    std::string noise(300000, '\0');
    uint32_t x = 12345;
    for (char& c : noise)
    {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    Bytes tar;
    TarItemBuilder b("noise");
    b.AddFile("./noise", noise);
    b.Build(tar);
    return tar;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtractFailureTest,
    testing::Values(FailureCase{"Empty", [] { return Bytes(); }, -1, false, "Archive size must be > 0"},
                    FailureCase{"WindowPastTheData", ValidTar, 1 << 20, false,
                                "Archive (offset + size) exceeds VEX pkg size"},
                    FailureCase{"NoDestination", ValidTar, -1, true, "Cannot change directory to <"},
                    FailureCase{"Garbage", [] { return Bytes(4096, 0x5a); }, -1, false, "Open() error: "},
                    FailureCase{"TruncatedInTheSecondHeader",
                                []
                                {
                                    Bytes cut = ValidTar();
                                    // The second header follows the first member's 4096 bytes.
                                    cut.resize(512 + 4096 + 100);
                                    return cut;
                                },
                                -1, false, "archive_read_next_header() error: "},
                    FailureCase{"TruncatedInAMember",
                                []
                                {
                                    Bytes cut = ValidTar();
                                    cut.resize(512 + 1000);
                                    return cut;
                                },
                                -1, false, "archive_read_extract2() error: "},
                    FailureCase{"TruncatedGzip",
                                []
                                {
                                    Bytes cut = Compress(NoisyTar(), ARCHIVE_FILTER_GZIP);
                                    cut.resize(cut.size() * 9 / 10);
                                    return cut;
                                },
                                -1, false, "archive_read_"}),
    [](const testing::TestParamInfo<FailureCase>& param) { return std::string(param.param.name); });

TEST_F(ExtractorTest, AMissingItemOrReaderIsReported)
{
    EXPECT_FALSE(extractor.Extract(nullptr, dest.string()));
    EXPECT_EQ(Errors(), std::vector<std::string>{"Null item tar!"});
    ItemTar bare;
    EXPECT_FALSE(extractor.Extract(&bare, dest.string()));
    EXPECT_EQ(Errors(), std::vector<std::string>{"Tar reader is null !"});
}

// --- Verification against the lists (written straight into the destination) ---

TEST_F(ExtractorTest, AnMd5LineOfOneTokenStopsBeforeTheListing)
{
    WriteList("bundle_md5", "0123456789abcdef0123456789abcdef\n");
    WriteList("bundle_tart", "-rw-r--r-- root/root 1 2026-12-08 03:44 ./a\n");
    Load(ValidTar());
    EXPECT_FALSE(extractor.PostProcess(&item, dest.string()));
    const std::string list = (dest / "bundle_md5").string();
    EXPECT_TRUE(
        Logged("    Error: invalid line format found in'" + list + "' (0123456789abcdef0123456789abcdef) !"));
    EXPECT_FALSE(fs::exists(list));
    EXPECT_TRUE(fs::exists(dest / "bundle_tart")) << "the listing is not looked at";
}

TEST_F(ExtractorTest, TheFirstDigestMismatchEndsTheMd5Check)
{
    std::ofstream(dest / "a") << "a";
    std::ofstream(dest / "b") << "b";
    WriteList("bundle_md5", "00000000000000000000000000000000  ./a\n0cc175b9c0f1b6a831c399e269772661  ./b\n");
    Load(ValidTar());
    EXPECT_FALSE(extractor.VerifyMd5List(&item, dest.string()));
    EXPECT_EQ(extractor.logged.back(), "    Error: MD5 check failed for file './a'");
}

TEST_F(ExtractorTest, MissingListsAreReportedAndNothingIsDeleted)
{
    Load(ValidTar(), "/rootfs/bundle.tar.bz2");
    EXPECT_FALSE(extractor.VerifyMd5List(&item, dest.string()));
    EXPECT_EQ(extractor.logged.back(),
              "    Error: file " + (dest / "bundle_md5").string() + " does not exist !");
    EXPECT_FALSE(extractor.VerifyTarList(&item, dest.string()));
    EXPECT_EQ(extractor.logged.back(), "    Error: " + (dest / "bundle_tart").string() + " does not exist !");
}

TEST_F(ExtractorTest, EveryListedMemberIsCheckedAndEachMissingOneNamed)
{
    fs::create_directories(dest / "lib");
    fs::create_symlink("b.so", dest / "lib/a.so");
    std::ofstream(dest / "present") << "p";
    WriteList("bundle.bin_tart",
              "drwxr-xr-x root/root 0 2026-12-08 03:44 ./\n"
              "-rw-r--r-- root/root 1 2026-12-08 03:44 ./gone1\n"
              "\n"
              "lrwxrwxrwx root/root 0 2026-12-08 03:44 ./lib/a.so -> b.so\n"
              "-rw-r--r-- root/root 1 2026-12-08 03:44 /present\n"
              "drwxr-xr-x root/root 0 2026-12-08 03:44 ./gone2/\n"
              "crw-r--r-- root/root 0 2026-12-08 03:44 ./dev/whatever\n");
    Load(ValidTar(), "/rootfs/bundle.bin");
    EXPECT_FALSE(extractor.VerifyTarList(&item, dest.string()));
    std::vector<std::string> errors;
    for (const std::string& l : extractor.logged)
        if (l.find("doesn't exist") != std::string::npos)
            errors.push_back(l);
    EXPECT_EQ(errors, (std::vector<std::string>{
                          "    Error: '" + (dest / "./gone1").string() + "' doesn't exist !",
                          "    Error: '" + (dest / "./gone2/").string() + "' doesn't exist !"}));
    EXPECT_EQ(extractor.logged.back(), "    Failed.");
    EXPECT_FALSE(fs::exists(dest / "bundle.bin_tart"));
}

TEST_F(ExtractorTest, ListingLinksAreCheckedAgainstTheirTargets)
{
    fs::create_directories(dest / "lib");
    fs::create_symlink("c.so", dest / "lib/a.so");
    WriteList("bundle_tart", "lrwxrwxrwx root/root 0 2026-12-08 03:44 ./lib/a.so -> b.so\n");
    Load(ValidTar());
    EXPECT_FALSE(extractor.VerifyTarList(&item, dest.string()));
    EXPECT_EQ(extractor.logged.back(), "    Failed.");
}

TEST_F(ExtractorTest, AListingLineOfFiveTokensStopsTheCheck)
{
    WriteList("bundle_tart",
              "-rw-r--r-- root/root 1 2026-12-08 ./a\n-rw-r--r-- root/root 1 2026-12-08 03:44 ./b\n");
    Load(ValidTar());
    EXPECT_FALSE(extractor.VerifyTarList(&item, dest.string()));
    const std::string list = (dest / "bundle_tart").string();
    EXPECT_TRUE(Logged("    Error: invalid line format found in'" + list +
                       "'( -rw-r--r-- root/root 1 2026-12-08 ./a) !"));
    EXPECT_FALSE(Logged("    Error: '" + (dest / "./b").string() + "' doesn't exist !"));
}

TEST_F(ExtractorTest, LinksAreNotStampedThroughToTheirTargets)
{
    // A link that points out of the destination: stamping it would change a file that is not ours.
    const fs::path foreign = dir.path() / "foreign";
    std::ofstream(foreign.string()) << "f";
    fs::last_write_time(foreign, kArchiveTime);
    fs::create_symlink(foreign, dest / "out");
    WriteList("bundle_tart", "lrwxrwxrwx root/root 0 2026-12-08 03:44 ./out -> " + foreign.string() + "\n");
    Load(ValidTar());
    extractor.SetDateTimeMode(TarExtractor::DateTimeMode::kNow);
    EXPECT_TRUE(extractor.VerifyTarList(&item, dest.string()));
    EXPECT_EQ(fs::last_write_time(foreign), kArchiveTime);
}

TEST_F(ExtractorTest, ListedNamesThatClimbOutAreNeitherMatchedNorStamped)
{
    // Files that exist beside the destination, named by lists as if the archive held them.
    const fs::path outside = dir.path() / "outside";
    std::ofstream(outside.string()) << "a";
    fs::last_write_time(outside, kArchiveTime);
    WriteList("bundle_md5", "0cc175b9c0f1b6a831c399e269772661  ./../outside\n");
    WriteList("bundle_tart", "-rw-r--r-- root/root 1 2026-12-08 03:44 ./../outside\n");
    Load(ValidTar());
    extractor.SetDateTimeMode(TarExtractor::DateTimeMode::kNow);
    EXPECT_FALSE(extractor.VerifyMd5List(&item, dest.string()));
    EXPECT_FALSE(extractor.VerifyTarList(&item, dest.string()));
    EXPECT_TRUE(Logged("    Error: '" + (dest / "./../outside").string() + "' doesn't exist !"));
    EXPECT_EQ(fs::last_write_time(outside), kArchiveTime);
}

TEST_F(ExtractorTest, AnUndottedNameIsJudgedByThePathItLandsOn)
{
    // "x../outside" reads as an ordinary name, but losing its first character it lands on "../outside".
    const fs::path outside = dir.path() / "outside";
    std::ofstream(outside.string()) << "a";
    fs::last_write_time(outside, kArchiveTime);
    WriteList("bundle_tart", "-rw-r--r-- root/root 1 2026-12-08 03:44 x../outside\n");
    Load(ValidTar());
    extractor.SetDateTimeMode(TarExtractor::DateTimeMode::kNow);
    EXPECT_FALSE(extractor.VerifyTarList(&item, dest.string()));
    EXPECT_TRUE(Logged("    Error: '" + dest.string() + "/../outside' doesn't exist !"));
    EXPECT_EQ(fs::last_write_time(outside), kArchiveTime);
}

// --- Steps after extraction, walked from the partition ---

// Every entry below `root` with its kind, size, data and modification time.
std::string Describe(const fs::path& root)
{
    std::ostringstream out;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it)
    {
        const fs::path& p = it->path();
        out << p.string() << ' ' << fs::symlink_status(p).type();
        if (fs::is_regular_file(fs::symlink_status(p)))
            out << ' ' << ReadFile(p) << ' ' << fs::last_write_time(p);
        out << '\n';
    }
    return out.str();
}

TEST_F(ExtractorTest, ADestinationSwappedForALinkAfterExtractionLeadsNoStepOutside)
{
    // The partition is the test's folder; a folder elsewhere holds what the archive wrote, lists included.
    TempDir elsewhere;
    const fs::path outside = elsewhere.path() / "copy";
    Bytes tar;
    ASSERT_TRUE(Bundle().Build(tar));
    Load(tar);
    ASSERT_TRUE(extractor.Extract(&item, dest.string()));
    Load(tar);
    fs::create_directories(outside);
    ASSERT_TRUE(extractor.Extract(&item, outside.string()));
    std::ofstream((outside / "post_tar.sh").string()) << "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\n";
    fs::permissions(outside / "post_tar.sh", fs::perms(0755));
    const std::string before = Describe(elsewhere.path());
    extractor.SetConfinement(dir.str(), dir.str());
    extractor.SetDateTimeMode(TarExtractor::DateTimeMode::kNow);

    // Swapped between extraction and verification: the lists are not found, nothing there is stamped,
    // removed or run.
    const fs::path moved = dir.path() / "moved";
    fs::rename(dest, moved);
    fs::create_symlink(outside, dest);
    EXPECT_FALSE(extractor.PostProcess(&item, dest.string()));
    EXPECT_TRUE(Logged("    Error: file " + (dest / "bundle_md5").string() + " does not exist !"));
    EXPECT_FALSE(extractor.VerifyTarList(&item, dest.string()));
    EXPECT_EQ(Describe(elsewhere.path()), before);

    // Back in place, the same steps pass.
    fs::remove(dest);
    fs::rename(moved, dest);
    extractor.logged.clear();
    EXPECT_TRUE(extractor.PostProcess(&item, dest.string())) << testing::PrintToString(extractor.logged);
    EXPECT_FALSE(fs::exists(dest / "bundle_md5"));
    EXPECT_GE(fs::last_write_time(dest / "etc/config"), std::time(nullptr) - 60);
    EXPECT_EQ(Describe(elsewhere.path()), before);
}

TEST_F(ExtractorTest, AListedMemberBehindALinkOutOfThePartitionIsNeitherHashedNorStamped)
{
    // A member link to a folder outside the partition, and lists naming a file through it.
    TempDir elsewhere;
    std::ofstream((elsewhere.path() / "target").string()) << "a";
    fs::last_write_time(elsewhere.path() / "target", kArchiveTime);
    fs::create_symlink(elsewhere.path(), dest / "dl");
    WriteList("bundle_md5", "0cc175b9c0f1b6a831c399e269772661  ./dl/target\n");
    WriteList("bundle_tart", "-rw-r--r-- root/root 1 2026-12-08 03:44 ./dl/target\n");
    Load(ValidTar());
    extractor.SetConfinement(dir.str(), dir.str());
    extractor.SetDateTimeMode(TarExtractor::DateTimeMode::kNow);
    EXPECT_FALSE(extractor.VerifyMd5List(&item, dest.string()));
    EXPECT_EQ(extractor.logged.back(), "    Error: MD5 check failed for file './dl/target'");
    EXPECT_FALSE(extractor.VerifyTarList(&item, dest.string()));
    EXPECT_TRUE(Logged("    Error: '" + (dest / "./dl/target").string() + "' doesn't exist !"));
    EXPECT_EQ(fs::last_write_time(elsewhere.path() / "target"), kArchiveTime);

    // A link that stays inside the partition is followed.
    fs::create_directories(dir.path() / "real");
    std::ofstream((dir.path() / "real/target").string()) << "a";
    fs::remove(dest / "dl");
    fs::create_symlink("../real", dest / "dl");
    WriteList("bundle_md5", "0cc175b9c0f1b6a831c399e269772661  ./dl/target\n");
    WriteList("bundle_tart", "-rw-r--r-- root/root 1 2026-12-08 03:44 ./dl/target\n");
    EXPECT_TRUE(extractor.VerifyMd5List(&item, dest.string())) << testing::PrintToString(extractor.logged);
    EXPECT_TRUE(extractor.VerifyTarList(&item, dest.string())) << testing::PrintToString(extractor.logged);
}

// --- post_tar.sh ---

class PostScriptTest : public ExtractorTest, public testing::WithParamInterface<int>
{
};

TEST_P(PostScriptTest, RunsInTheDestinationAndIsConsumedOnlyOnSuccess)
{
    TarItemBuilder b = Bundle();
    // The script proves it ran by leaving a file; its exit status decides the item.
    b.AddFile("./post_tar.sh",
              "#!/bin/sh\necho ran > \"$(dirname \"$0\")/ran\"\nexit " + std::to_string(GetParam()) + "\n",
              0755);
    Bytes tar;
    ASSERT_TRUE(b.Build(tar));
    Load(tar);
    const bool ok = extractor.ExtractAndVerify(&item, dest.string());
    EXPECT_TRUE(Logged("Executing post_tar.sh script..."));
    EXPECT_TRUE(fs::exists(dest / "ran"));
    EXPECT_EQ(ok, GetParam() == 0);
    EXPECT_EQ(fs::exists(dest / "post_tar.sh"), GetParam() != 0);
    const std::vector<std::string> errors = Errors();
    if (GetParam() == 0)
        EXPECT_TRUE(errors.empty());
    else
        EXPECT_EQ(errors,
                  std::vector<std::string>{"Error executing post tar extraction script: post_tar.sh."});
}

INSTANTIATE_TEST_SUITE_P(ExitStatus, PostScriptTest, testing::Values(0, 1));
}  // namespace
