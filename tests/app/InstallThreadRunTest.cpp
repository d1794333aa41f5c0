#include "InstallThread.h"

#include "SignalWait.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>

#include <fstream>
#include <iterator>
#include <string>

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
        QSignalSpy activities(&thread, &InstallThread::NewActivityStarted);
        QSignalSpy done(&thread, &InstallThread::Done);
        thread.Launch(QString::fromStdString(dir / "update.pkg"), QString(), 0, 0);
        ASSERT_TRUE(WaitForSignals(done, 1)) << c.productFileContent;
        ASSERT_TRUE(thread.wait(10000));
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
}  // namespace
