#include "install/ScriptsExecutor.h"
#include "instrument/linux/SystemCommandRunner.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemScript.h"
#include "tests/install/EngineTestFakes.h"
#include "tests/install/TarItemPackage.h"

#include <gtest/gtest.h>

using namespace vex::install;
using namespace vex::instrument;
using namespace vex::pkg;
using namespace vex::pkg::writer;

namespace
{
namespace fs = boost::filesystem;
using test_support::bytesOf;

class ScriptsTest : public testing::Test, public EngineFixture
{
protected:
    ScriptsTest() { environment.runner = &SystemCommandRunner::Instance(); }

    // Every script of `scripts` (name, body, condition id) in one package, visited by `executor`.
    void Visit(ScriptsExecutor& executor,
               const std::vector<std::tuple<std::string, std::string, int16_t>>& scripts)
    {
        test_support::writePackage(dir / "s.pkg",
                                   [&](PackageWriter& writer)
                                   {
                                       for (const auto& script : scripts)
                                           writer.addScript(std::get<0>(script), bytesOf(std::get<1>(script)),
                                                            std::get<2>(script));
                                   });
        test_support::LoadedPackage package(dir / "s.pkg");
        for (const auto& item : package.items()) item->accept(executor);
    }
};

TEST_F(ScriptsTest, ConditionalScriptsDecideTheirIdsWithoutPreOrClean)
{
    ScriptsExecutor executor(nullptr, environment);
    Visit(executor, {{"yes.sh", "#!/bin/sh\nexit 0\n", 3}, {"no.sh", "#!/bin/sh\nexit 1\n", 4}});
    executor.RunScripts();
    EXPECT_EQ(executor.GetErrorCode(), ScriptsExecutor::ErrorCode::kNoError);
    ConditionResults results{{4, true}};  // a key already present keeps its value
    executor.GetConditionResults(results);
    EXPECT_EQ(results, (ConditionResults{{3, true}, {4, true}}));
    ConditionResults fresh;
    executor.GetConditionResults(fresh);
    EXPECT_EQ(fresh, (ConditionResults{{3, true}, {4, false}}));
    EXPECT_EQ(fs::status(environment.ScriptFile("yes.sh")).permissions(), fs::owner_all);
    EXPECT_TRUE(Logged("Executing conditional script no.sh ..."));
}

TEST_F(ScriptsTest, ALeftoverScriptFolderIsClearedOnlyBeforeTheFirstScript)
{
    WriteFile(environment.ScriptFile("stale.sh"), "old");
    ScriptsExecutor executor(nullptr, environment);
    Visit(executor, {{"a.sh", "a", -1}, {"b.sh", "b", -1}});
    EXPECT_FALSE(fs::exists(environment.ScriptFile("stale.sh")));
    EXPECT_EQ(ReadFile(environment.ScriptFile("a.sh")), "a");
    EXPECT_EQ(ReadFile(environment.ScriptFile("b.sh")), "b");
}

// Scripts run from the installer's copies: a copy changed after it was extracted and checked never runs,
// and a copy an earlier run left behind is not this package's script, whatever its name.
TEST_F(ScriptsTest, OnlyThisPackagesUnchangedCopiesRun)
{
    const std::string ran = environment.TmpFile("ran");
    {
        ScriptsExecutor executor(nullptr, environment);
        Visit(executor, {{"pre.sh", "#!/bin/sh\ntouch " + ran + "\n", -1}});
        WriteFile(environment.ScriptFile("pre.sh"), "#!/bin/sh\ntouch " + ran + ".changed\n");
        executor.RunScripts();
        EXPECT_EQ(executor.GetErrorCode(), ScriptsExecutor::ErrorCode::kScriptMd5);
        EXPECT_FALSE(fs::exists(ran + ".changed"));
        EXPECT_TRUE(Logged("    Script pre.sh is not the copy extracted from the package"));
    }
    {
        ScriptsExecutor executor(nullptr, environment);
        Visit(executor, {{"cond.sh", "#!/bin/sh\nexit 0\n", 2}});
        WriteFile(environment.ScriptFile("cond.sh"), "#!/bin/sh\ntouch " + ran + ".cond\n");
        executor.RunScripts();
        EXPECT_EQ(executor.GetErrorCode(), ScriptsExecutor::ErrorCode::kScriptMd5);
        EXPECT_FALSE(fs::exists(ran + ".cond"));
    }
    {
        // A package without pre.sh, and a pre.sh left in the folder.
        ScriptsExecutor executor(nullptr, environment);
        Visit(executor, {{"other.sh", "x", -1}});
        WriteFile(environment.ScriptFile("pre.sh"), "#!/bin/sh\ntouch " + ran + ".stale\n");
        fs::permissions(environment.ScriptFile("pre.sh"), fs::owner_all);
        executor.RunScripts();
        EXPECT_EQ(executor.GetErrorCode(), ScriptsExecutor::ErrorCode::kNoError);
        EXPECT_FALSE(fs::exists(ran + ".stale"));
    }
}

TEST_F(ScriptsTest, AScriptNameCannotLeaveTheScriptFolder)
{
    ScriptsExecutor executor(nullptr, environment);
    Visit(executor, {{"../escaped.sh", "x", -1}});
    EXPECT_EQ(executor.GetErrorCode(), ScriptsExecutor::ErrorCode::kScriptNotWritten);
    EXPECT_FALSE(fs::exists(environment.TmpFile("escaped.sh")));
}

TEST_F(ScriptsTest, AScriptFolderThatCannotBeMadeSaysWhyInTheLog)
{
    WriteFile(environment.TmpFile("blocker"), "a file where a folder should be");
    environment.scriptDir = environment.TmpFile("blocker/script");
    ScriptsExecutor executor(nullptr, environment);
    Visit(executor, {{"pre.sh", "#!/bin/sh\n", -1}});
    EXPECT_EQ(executor.GetErrorCode(), ScriptsExecutor::ErrorCode::kScriptNotWritten);
    const std::vector<std::string> lines = log.Messages();
    const std::vector<std::string> expected{"Extracting script pre.sh ...",
                                            "    " + environment.scriptDir + ": Not a directory", "Failed !"};
    EXPECT_EQ(std::vector<std::string>(lines.end() - std::min<size_t>(lines.size(), 3), lines.end()),
              expected);
}

TEST_F(ScriptsTest, CountsTarBytesFromBothListsAndItsRegularFiles)
{
    TarItemBuilder builder("data");
    builder.AddDirectory("./d");
    builder.AddFile("./d/f", std::string(100, 'f'));
    builder.AddFile("./d/g", std::string(250, 'g'));
    builder.AddSymlink("./d/l", "f");
    TarItemPackage package(dir / "t.pkg", builder, "/rootfs/x/data.tar.bz2");
    ASSERT_NE(package.tar, nullptr);
    ScriptsExecutor executor(nullptr, environment);
    package.tar->accept(executor);
    EXPECT_EQ(executor.GetErrorCode(), ScriptsExecutor::ErrorCode::kNoError);
    EXPECT_EQ(executor.GetBytesToProcess(), 350 + builder.Md5List().size() + builder.TarList().size());
    EXPECT_FALSE(fs::exists(environment.TmpFile("data_tart")));
    EXPECT_FALSE(fs::exists(environment.TmpFile("data_md5")));
}

// The count needs only the lists at the archive's head: what follows is read once, by the installing pass,
// which refuses a damaged body (tested with the installer). Here the archive is cut short after its lists.
TEST_F(ScriptsTest, CountsFromTheListsWithoutReadingTheRestOfTheArchive)
{
    TarItemBuilder builder("data");
    std::string text(400000, 'x');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + (i * 31 + i / 7) % 26);
    builder.AddFile("./big", text);
    std::vector<uint8_t> archive;
    ASSERT_TRUE(builder.Build(archive, TarItemBuilder::Compression::Gzip));
    archive.resize(archive.size() / 2);
    test_support::writePackage(
        dir / "cut.pkg", [&](PackageWriter& writer) { writer.addTar("/rootfs/x/data.tar.gz", archive); });
    test_support::LoadedPackage package(dir / "cut.pkg");
    ScriptsExecutor executor(nullptr, environment);
    for (const auto& item : package.items()) item->accept(executor);
    EXPECT_EQ(executor.GetErrorCode(), ScriptsExecutor::ErrorCode::kNoError);
    EXPECT_EQ(executor.GetBytesToProcess(),
              text.size() + builder.Md5List().size() + builder.TarList().size());
}

TEST_F(ScriptsTest, DataWithoutAReaderCannotBeCounted)
{
    ScriptsExecutor executor(nullptr, environment);
    ItemFile file;
    file.setPath("/kelda_usr/a");
    file.accept(executor);
    EXPECT_EQ(executor.GetErrorCode(), ScriptsExecutor::ErrorCode::kNoDataToCount);
    EXPECT_TRUE(Logged("Error calculating bytes to process in system chunk !"));
    ItemTar tar;
    tar.setDestination("/rootfs/a.tar");
    ScriptsExecutor tars(nullptr, environment);
    tar.accept(tars);
    EXPECT_EQ(tars.GetErrorCode(), ScriptsExecutor::ErrorCode::kTarListsFailed);
}
}  // namespace

namespace
{
TEST_F(ScriptsTest, BrokenTarListsEndTheCount)
{
    ScriptsExecutor garbage(nullptr, environment);
    test_support::writePackage(dir / "g.pkg", [](PackageWriter& writer)
                               { writer.addTar("/rootfs/g.tar", bytesOf(std::string(1024, 'g'))); });
    test_support::LoadedPackage package(dir / "g.pkg");
    for (const auto& item : package.items()) item->accept(garbage);
    EXPECT_EQ(garbage.GetErrorCode(), ScriptsExecutor::ErrorCode::kTarListsFailed);
    EXPECT_TRUE(Logged("    Error extracting tar _tart and _md5 files !"));

    TarItemBuilder builder("short");
    builder.AddFile("./x", "x");
    builder.SetTarList("-rw-r--r-- root/root 1 2026-12-08 ./x\n");
    TarItemPackage shortList(dir / "s.pkg", builder, "/rootfs/short.tar");
    ScriptsExecutor executor(nullptr, environment);
    shortList.tar->accept(executor);
    EXPECT_EQ(executor.GetErrorCode(), ScriptsExecutor::ErrorCode::kTarListsFailed);
    EXPECT_TRUE(Logged("    Invalid string read form '" + environment.TmpFile("short_tart") +
                       "': -rw-r--r-- root/root 1 2026-12-08 ./x"));
    EXPECT_FALSE(fs::exists(environment.TmpFile("short_md5")));
}
}  // namespace
