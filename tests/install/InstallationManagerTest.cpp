#include "install/InstallationManager.h"
#ifdef VEX_HAVE_FUSE3
#include "tests/install/ForgetfulMedium.h"
#endif

#include "pkg/read/PackageFormat.h"
#include "pkg/trust/DoNothingVerifier.h"
#include "pkg/trust/PackageAdmission.h"
#include "pkg/trust/SignatureVerifier.h"
#include "pkg/writer/PackageSigner.h"
#include "tests/install/EngineTestFakes.h"
#include "tests/support/WriteAndLoadPackage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>

using namespace vex::install;
using namespace vex::pkg;
using namespace vex::pkg::writer;
using namespace vex::tar;

namespace
{
namespace fs = boost::filesystem;
using test_support::Bytes;

Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

struct StageCase
{
    int code;
    int lastKnown;
    int stageResult;
    int expected;
};

TEST(InstallationManagerResult, EachStageMapsItsOwnCodesAndAnythingElseIsUnexpected)
{
    const StageCase cases[] = {
        {0, 7, 3, 0},  {1, 7, 3, 3}, {7, 7, 3, 3},    {8, 7, 3, 1},
        {-1, 7, 3, 1},                                                             // compliance
        {6, 6, 4, 4},  {7, 6, 4, 1},                                               // scripts
        {5, 5, 5, 5},  {6, 5, 5, 1},                                               // formatter
        {8, 8, 6, 6},  {9, 8, 6, 1}, {1000, 8, 7, 1}, {-2147483647 - 1, 8, 7, 1},  // disk checker, installer
    };
    for (const StageCase& c : cases)
    {
        EXPECT_EQ(InstallationManager::StageResult(c.code, c.lastKnown, c.stageResult), c.expected)
            << "code " << c.code << " of a stage with codes 1.." << c.lastKnown;
    }
}

// A USER package on a temporary instrument: scripts run by a scripted shell that records them, so the tests
// see which stages ran and in which order.
class InstallationManagerTest : public testing::Test, public EngineFixture
{
protected:
    InstallationManagerTest()
    {
        for (const char* part : {"boot", "service", "update", "kernel", "rootfs", "kelda_sys", "kelda_usr",
                                 "vdl_pcm", "bkp_pcm"})
        {
            disk.freeSpace[environment.emmcRoot + "/" + part] = 1 << 30;
        }
    }

    struct Options
    {
        bool withPost = true;
        bool withFormat = false;
        std::string extraFile;
        std::vector<std::string> compatibility;
    };

    std::string Package(const Options& options)
    {
        const std::string path = dir / "update.pkg";
        const bool written = test_support::writePackage(path,
                                                        [&](PackageWriter& w)
                                                        {
                                                            PackageWriter::Header header;
                                                            header.compatibility = options.compatibility;
                                                            w.addHeader(header);
                                                            w.addScript("pre.sh", Text("exit 0\n"));
                                                            w.addScript("clean.sh", Text("exit 0\n"));
                                                            if (options.withPost)
                                                                w.addScript("post.sh", Text("exit 0\n"));
                                                            if (options.withFormat)
                                                                w.addScript("format.sh", Text("exit 0\n"));
                                                            PackageWriter::FileInfo info;
                                                            info.path = "/kelda_usr/a.txt";
                                                            info.attributes.mode = 0x1ff;
                                                            w.addFile(info, Text("installed\n"));
                                                            if (!options.extraFile.empty())
                                                            {
                                                                info.path = options.extraFile;
                                                                w.addFile(info, Text("x\n"));
                                                            }
                                                        });
        EXPECT_TRUE(written);
        return path;
    }

    int Install(const std::string& path, int formatParameter = 0)
    {
        DoNothingVerifier verifier;
        InstallationManager manager(&notifier, environment);
        if (record)
            manager.SetRecordInstalled(record);
        InstallOptions options;
        options.formatParameter = formatParameter;
        return manager.Install(path.c_str(), &verifier, options);
    }

    // Position of the first recorded command that contains `part`; -1 when none does.
    int Ran(const std::string& part) const
    {
        const auto& c = runner.changes;
        const auto found = std::find_if(
            c.begin(), c.end(), [&](const std::string& s) { return s.find(part) != std::string::npos; });
        return found == c.end() ? -1 : static_cast<int>(found - c.begin());
    }

    std::string Installed() const { return environment.emmcRoot + "/kelda_usr/a.txt"; }

    RecordingNotifier notifier;
    std::function<bool()> record;
};

TEST_F(InstallationManagerTest, AWholeRunGoesThroughEveryStageInOrder)
{
    Options options;
    options.withFormat = true;
    EXPECT_EQ(Install(Package(options), 32), InstallationManager::kInstalled);
    EXPECT_EQ(ReadFile(Installed()), "installed\n");
    ASSERT_GE(Ran("/pre.sh"), 0);
    EXPECT_LT(Ran("/pre.sh"), Ran("/clean.sh"));
    EXPECT_LT(Ran("/clean.sh"), Ran("/format.sh"));
    EXPECT_LT(Ran("/format.sh"), Ran("mount -w"));
    EXPECT_LT(Ran("mount -w"), Ran("/post.sh"));
    // The product's format parameter is the last argument of format.sh.
    const std::string format = runner.changes[static_cast<size_t>(Ran("/format.sh"))];
    EXPECT_EQ(format.substr(format.size() - 3), " 32") << format;
    EXPECT_GT(notifier.toProcess, 0);
    EXPECT_EQ(notifier.processed, notifier.toProcess);
}

TEST_F(InstallationManagerTest, APackageThatCannotBeLoadedTouchesNothing)
{
    EXPECT_EQ(Install(dir / "missing.pkg"), InstallationManager::kPackageFailed);
    EXPECT_TRUE(runner.changes.empty());
    EXPECT_EQ(notifier.toProcess, 0);
}

TEST_F(InstallationManagerTest, AComplianceErrorDuringTheWalkOrInTheVerdictRunsNoScript)
{
    Options forbiddenPath;
    forbiddenPath.extraFile = "/update/x.txt";
    EXPECT_EQ(Install(Package(forbiddenPath)), InstallationManager::kComplianceFailed);
    EXPECT_EQ(Ran(".sh"), -1);

    Options noPost;
    noPost.withPost = false;
    EXPECT_EQ(Install(Package(noPost)), InstallationManager::kComplianceFailed);
    EXPECT_EQ(Ran(".sh"), -1);
    EXPECT_FALSE(fs::exists(Installed()));
    EXPECT_EQ(notifier.toProcess, 0);
}

TEST_F(InstallationManagerTest, AFailingScriptStopsTheRunBeforeTheNextStage)
{
    runner.failures[environment.ScriptFile("pre.sh")] = 1 << 8;
    EXPECT_EQ(Install(Package(Options())), InstallationManager::kScriptsFailed);
    EXPECT_EQ(Ran("/clean.sh"), -1);
    EXPECT_EQ(Ran("mount -w"), -1);
    EXPECT_EQ(notifier.toProcess, 0);
    EXPECT_FALSE(fs::exists(Installed()));
}

TEST_F(InstallationManagerTest, AFailingFormatScriptOrUnknownFreeSpaceInstallsNothing)
{
    Options options;
    options.withFormat = true;
    const std::string package = Package(options);
    ASSERT_EQ(Install(package), InstallationManager::kInstalled);
    ASSERT_GE(Ran("/format.sh"), 0);
    runner.failures[runner.changes[static_cast<size_t>(Ran("/format.sh"))]] = 1 << 8;
    runner.changes.clear();
    fs::remove(Installed());
    EXPECT_EQ(Install(package), InstallationManager::kFormatFailed);
    EXPECT_EQ(Ran("mount -w"), -1);
    EXPECT_FALSE(fs::exists(Installed()));

    runner.failures.clear();
    runner.changes.clear();
    disk.freeSpace.clear();
    EXPECT_EQ(Install(package), InstallationManager::kDiskCheckFailed);
    EXPECT_EQ(Ran("/post.sh"), -1);
    EXPECT_FALSE(fs::exists(Installed()));
}

// What was verified is what is installed: a package written to while it is being installed ends the run at
// the next step that would act on the instrument.
TEST_F(InstallationManagerTest, APackageChangedDuringTheRunFailsIt)
{
    struct Case
    {
        const char* script;  // the package grows while this script runs
        bool installed;      // whether pass 4 had already written the file
    };
    for (const Case& c : {Case{"/pre.sh", false}, Case{"/post.sh", true}})
    {
        SCOPED_TRACE(c.script);
        const std::string package = Package(Options());
        runner.changes.clear();
        fs::remove(Installed());
        runner.sideEffect = [&](const std::string& command)
        {
            if (command.find(c.script) != std::string::npos)
            {
                std::ofstream(package, std::ios::binary | std::ios::app) << '!';
            }
        };
        EXPECT_EQ(Install(package), InstallationManager::kPackageFailed);
        EXPECT_TRUE(Logged("Package file changed during the installation !"));
        EXPECT_EQ(c.installed, fs::exists(Installed()));
        if (!c.installed)
        {
            EXPECT_EQ(Ran("mount -w"), -1);
        }
        runner.sideEffect = nullptr;
    }
}

// A successful run is recorded after post.sh and before the partitions (the update partition with the record
// among them) are unmounted; a record that cannot be kept fails the run, and a package that changed by then
// is never recorded.
TEST_F(InstallationManagerTest, ASuccessIsRecordedBeforeUnmountingOrTheRunFails)
{
    const std::string package = Package(Options());
    int recordedAt = -1;
    bool keep = true;
    record = [&]
    {
        recordedAt = static_cast<int>(runner.changes.size());
        return keep;
    };
    EXPECT_EQ(Install(package), InstallationManager::kInstalled);
    ASSERT_GE(Ran("/post.sh"), 0);
    EXPECT_GT(recordedAt, Ran("/post.sh"));
    ASSERT_GE(Ran("umount "), 0);
    EXPECT_LE(recordedAt, Ran("umount "));

    runner.changes.clear();
    recordedAt = -1;
    keep = false;
    EXPECT_EQ(Install(package), InstallationManager::kInstallFailed);
    EXPECT_GE(recordedAt, 0);
    EXPECT_EQ(Ran("umount "), -1);

    runner.changes.clear();
    recordedAt = -1;
    keep = true;
    runner.sideEffect = [&](const std::string& command)
    {
        if (command.find("/post.sh") != std::string::npos)
            std::ofstream(package, std::ios::binary | std::ios::app) << '!';
    };
    EXPECT_EQ(Install(package), InstallationManager::kPackageFailed);
    EXPECT_EQ(recordedAt, -1);
    runner.sideEffect = nullptr;
}
}  // namespace

namespace
{
// At security level 1 a signed package is checked against the instrument once its items are read: another
// model or an older version ends the run before any script runs or anything is written.
TEST_F(InstallationManagerTest, ANotAdmittedPackageRunsNothing)
{
    fs::create_directories(dir / "keys");
    std::string error;
    ASSERT_TRUE(PackageSigner::generateKeyPair(dir / "dev.key", dir / "keys/dev.pem", error)) << error;
    Ed25519Key signer;
    ASSERT_TRUE(signer.loadPrivatePem(dir / "dev.key"));
    PackageAdmission admission;
    admission.setCompatibleIds({"VX20A01"});
    PackageVersion installed;
    ASSERT_TRUE(PackageVersion::parse("2.0.0", installed));
    admission.setInstalledVersion(installed);

    struct Case
    {
        const char* id;
        const char* version;
        int result;
        const char* detail;
    };
    const Case cases[] = {
        {"ZZ99Z99", "3.0.0", InstallationManager::kNotAdmitted,
         "    Not for this instrument: the package is for ZZ99Z99, this instrument is VX20A01"},
        {"VX20A01", "2.0.0", InstallationManager::kInstalled, "    Version 2.0.0, installed 2.0.0"},
    };
    for (const Case& c : cases)
    {
        runner.changes.clear();
        fs::remove(Installed());
        Options options;
        options.compatibility = {c.id};
        const std::string path = Package(options);
        PackageSigner::Release release;
        release.hasVersion = true;
        ASSERT_TRUE(PackageVersion::parse(c.version, release.version));
        ASSERT_TRUE(PackageSigner::sign(path, signer, release, error)) << error;

        SignatureVerifier verifier(dir / "keys", nullptr);
        InstallationManager manager(&notifier, environment);
        manager.SetAdmission(&admission);
        EXPECT_EQ(c.result, manager.Install(path.c_str(), &verifier, InstallOptions())) << c.version;
        EXPECT_TRUE(Logged("Checking the package against this instrument ..."));
        EXPECT_TRUE(Logged(c.detail)) << c.detail;
        if (c.result != InstallationManager::kInstalled)
        {
            EXPECT_EQ(-1, Ran("/pre.sh")) << c.version;
            EXPECT_FALSE(fs::exists(Installed()));
            EXPECT_FALSE(fs::exists(environment.scriptDir + "/pre.sh"));
        }
        else
        {
            EXPECT_EQ(ReadFile(Installed()), "installed\n");
        }
    }
}
#ifdef VEX_HAVE_FUSE3
// A partition on a medium that keeps nothing written to it: the file's check fails, and with it the run,
// which never reaches post.sh.
TEST_F(InstallationManagerTest, AMediumThatLosesWritesFailsTheRun)
{
    const std::string lower = dir / "lower";
    fs::create_directories(lower);
    test_support::ForgetfulMedium medium(lower, environment.emmcRoot + "/kelda_usr");
    if (!medium.Mounted())
        GTEST_SKIP() << "FUSE is not available here";
    EXPECT_EQ(Install(Package(Options())), InstallationManager::kInstallFailed);
    EXPECT_EQ(Ran("/post.sh"), -1);
    EXPECT_EQ(ReadFile(lower + "/a.txt"), std::string(10, '\0'));
}
#endif

}  // namespace
