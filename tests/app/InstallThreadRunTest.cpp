#include "app/InstallThread.h"

#include "tests/support/SignalWait.h"
#include "tests/support/SignedPackages.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>

#include <fstream>
#include <iterator>
#include <string>

using namespace vex::app;
using vex::install::InstallOptions;

namespace
{
std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct RunCase
{
    const char* productFileContent;
    const char* expectedLine;
};

// Runs that end before the engine touches the instrument: an unknown board, and a package that cannot be
// read. Each must report failure once and leave its numbered error log.
TEST(InstallThreadRun, EndsInFailureWithAnErrorLog)
{
    const RunCase cases[] = {
        {"6\n", "Unknown productId !"},
        {"", "Unknown productId !"},
        {"2\n", "-----------------------------------------------------"},
    };
    for (const RunCase& c : cases)
    {
        TempDir dir;
        std::ofstream(dir / "id", std::ios::binary) << c.productFileContent;
        std::ofstream(dir / "update.pkg", std::ios::binary) << "not a package";
        InstallThread thread(nullptr, QString::fromStdString(dir / "id"),
                             QString::fromStdString(dir / "copy"));
        thread.SetLogDirectory(QString::fromStdString(dir.str()));
        // No key directory: every package is read as it is.
        thread.SetKeyDirectory(QString::fromStdString(dir / "no-keys"));
        thread.SetSecurityFiles(QString::fromStdString(dir / "security-level"),
                                QString::fromStdString(dir / "compatible"),
                                QString::fromStdString(dir / "state"));
        QSignalSpy activities(&thread, &InstallThread::NewActivityStarted);
        QSignalSpy done(&thread, &InstallThread::Done);
        thread.Launch(QString::fromStdString(dir / "update.pkg"), QString(), InstallOptions{});
        ASSERT_TRUE(thread.wait(10000)) << c.productFileContent;
        ASSERT_TRUE(WaitForSignals(done, 1));
        QCoreApplication::processEvents();

        EXPECT_EQ(done.count(), 1);
        EXPECT_FALSE(done.at(0).at(0).toBool());
        ASSERT_EQ(activities.count(), 2);
        EXPECT_EQ(activities.at(0).at(0).toString(), QStringLiteral("UPDATING THE OPERATING SYSTEM"));
        EXPECT_EQ(activities.at(1).at(0).toString(), QStringLiteral("Please do not turn the instrument off"));
        const std::string log = ReadAll(dir / "001_error.log");
        EXPECT_NE(log.find(c.expectedLine), std::string::npos) << log;
        EXPECT_EQ(log.find("Update completed sucessfully."), std::string::npos) << log;
    }
}

// An instrument that holds a trusted key refuses an unsigned package at the verification, before anything
// else; with the key directory empty the same package gets past it.
TEST(InstallThreadRun, TrustedKeysMakeTheSignatureMandatory)
{
    for (const bool withKey : {true, false})
    {
        TempDir dir;
        std::ofstream(dir / "id", std::ios::binary) << "2\n";
        ASSERT_TRUE(test_support::writeSamplePackage(dir / "update.pkg"));
        boost::filesystem::create_directories(dir.path() / "keys");
        if (withKey)
        {
            test_support::makeKeyPair(dir / "dev.key", dir / "keys/dev.pem");
        }
        InstallThread thread(nullptr, QString::fromStdString(dir / "id"),
                             QString::fromStdString(dir / "copy"));
        thread.SetLogDirectory(QString::fromStdString(dir.str()));
        thread.SetKeyDirectory(QString::fromStdString(dir / "keys"));
        thread.SetSecurityFiles(QString::fromStdString(dir / "security-level"),
                                QString::fromStdString(dir / "compatible"),
                                QString::fromStdString(dir / "state"));
        QSignalSpy done(&thread, &InstallThread::Done);
        // The sample package fails later without an instrument; only the verification step matters here.
        thread.Launch(QString::fromStdString(dir / "update.pkg"), QString(), InstallOptions{});
        ASSERT_TRUE(thread.wait(10000));
        ASSERT_TRUE(WaitForSignals(done, 1));

        const std::string log = ReadAll(dir / "001_error.log");
        const size_t verifying = log.find("Verifying package integrity ...");
        ASSERT_NE(verifying, std::string::npos) << log;
        const std::string after = log.substr(verifying);
        EXPECT_EQ(withKey, after.find(" - Failed.\n") != std::string::npos) << log;
        EXPECT_EQ(withKey, after.find(" -     No signature\n") != std::string::npos) << log;
        EXPECT_EQ(!withKey, after.find(" - Done.\n") != std::string::npos) << log;
        EXPECT_EQ(!withKey,
                  after.find(" -     Package not authenticated: this instrument is at security level 0.\n") !=
                      std::string::npos)
            << log;
    }
}

// What puts the instrument at level 1, each on its own with the key folder empty: every package is then
// refused at the verification, and the log says why the level is 1 and that no key is usable.
TEST(InstallThreadRun, LevelOneWithoutAKeyRefusesEveryPackage)
{
    struct Case
    {
        const char* name;
        const char* levelFile;   // null: none
        const char* configured;  // null: no SECURITY_LEVEL
        const char* state;       // null: none
        const char* levelLine;
        const char* problem;  // null: none
    };
    const Case cases[] = {
        {"level file", "1\n", nullptr, nullptr, "Security level 1: the security-level file says 1", nullptr},
        {"garbage level file", "yes", nullptr, nullptr,
         "Security level 1: the security-level file is not 0 or 1",
         "holds neither 0 nor 1: taken as security level 1"},
        {"configuration", "0\n", "1", nullptr, "Security level 1: the configuration says 1", nullptr},
        {"latch", nullptr, nullptr, "vex-pkg-install state 1\nsigned 1\nversion 1.0.0\n",
         "Security level 1: a signed package was installed before", nullptr},
        {"damaged state", nullptr, nullptr, "garbage",
         "Security level 1: the installer's state cannot be read",
         "is damaged (it is not a state this installer wrote): taken as security level 1"},
    };
    for (const Case& c : cases)
    {
        TempDir dir;
        std::ofstream(dir / "id", std::ios::binary) << "2\n";
        ASSERT_TRUE(test_support::writeSamplePackage(dir / "update.pkg"));
        boost::filesystem::create_directories(dir.path() / "keys");
        if (c.levelFile != nullptr)
            std::ofstream(dir / "security-level", std::ios::binary) << c.levelFile;
        if (c.state != nullptr)
            std::ofstream(dir / "state", std::ios::binary) << c.state;
        InstallThread thread(nullptr, QString::fromStdString(dir / "id"),
                             QString::fromStdString(dir / "copy"));
        thread.SetLogDirectory(QString::fromStdString(dir.str()));
        thread.SetKeyDirectory(QString::fromStdString(dir / "keys"));
        thread.SetSecurityFiles(QString::fromStdString(dir / "security-level"),
                                QString::fromStdString(dir / "compatible"),
                                QString::fromStdString(dir / "state"));
        if (c.configured != nullptr)
            thread.SetConfiguredSecurityLevel(QString::fromLatin1(c.configured));
        QSignalSpy done(&thread, &InstallThread::Done);
        thread.Launch(QString::fromStdString(dir / "update.pkg"), QString(), InstallOptions{});
        ASSERT_TRUE(thread.wait(10000));
        ASSERT_TRUE(WaitForSignals(done, 1));
        EXPECT_FALSE(done.at(0).at(0).toBool()) << c.name;

        const std::string log = ReadAll(dir / "001_error.log");
        EXPECT_NE(log.find(std::string(" - ") + c.levelLine + "\n"), std::string::npos) << c.name << log;
        if (c.problem != nullptr)
        {
            EXPECT_NE(log.find(c.problem), std::string::npos) << c.name << log;
        }
        EXPECT_NE(log.find(" -     No usable key in " + dir / "keys" + ": it holds no *.pem file\n"),
                  std::string::npos)
            << c.name << log;
        EXPECT_EQ(log.find("Package not authenticated"), std::string::npos) << c.name << log;
        // Nothing was written to the state by a failed run.
        EXPECT_EQ(c.state == nullptr, !boost::filesystem::exists(dir / "state")) << c.name;
    }
}
}  // namespace
