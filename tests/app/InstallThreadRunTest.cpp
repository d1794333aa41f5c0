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
    }
}
}  // namespace
