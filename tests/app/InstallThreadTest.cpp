#include "app/InstallThread.h"

#include "app/InstallProgressNotifier.h"
#include "tests/support/SignalWait.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>

#include <fstream>
#include <string>
#include <thread>

using namespace vex::app;
using namespace vex::base;
using namespace vex::install;

namespace
{
class InstallThreadTest : public ::testing::Test
{
protected:
    QString File(const std::string& name, const std::string& content)
    {
        std::ofstream(dir / name, std::ios::binary) << content;
        return QString::fromStdString(dir / name);
    }

    TempDir dir;
};

TEST_F(InstallThreadTest, RelaysReportsFromTheEngineThreadInOrderSummingTheBytes)
{
    InstallThread thread(nullptr, File("id", "2\n"), File("copy", ""));
    QSignalSpy progressed(&thread, &InstallThread::InstallProgressed);
    QSignalSpy total(&thread, &InstallThread::BytesToProcessCalculated);
    QSignalSpy status(&thread, &InstallThread::StatusMessageChanged);
    QSignalSpy error(&thread, &InstallThread::ErrorMessageChanged);
    QThread* const guiThread = QThread::currentThread();
    bool onGuiThread = true;
    QObject::connect(&thread, &InstallThread::InstallProgressed, &thread,
                     [&](qint64) { onGuiThread = onGuiThread && QThread::currentThread() == guiThread; });

    InstallProgressNotifierInterface* engineSide =
        qobject_cast<InstallProgressNotifierInterface*>(static_cast<QObject*>(thread.Notifier()));
    ASSERT_NE(engineSide, nullptr);
    std::thread engine(
        [engineSide]
        {
            engineSide->BytesToProcess(6000000000LL);
            engineSide->BytesProcessed(1000);
            engineSide->BytesProcessed(500);
            engineSide->BytesProcessed(4294967296LL);
            engineSide->StatusMessage("\xc3\xa9tat");
            engineSide->ErrorMessage("Error line 1\nError line 2");
        });
    engine.join();

    ASSERT_TRUE(WaitForSignals(error, 1, 5000));
    ASSERT_EQ(progressed.count(), 3);
    EXPECT_EQ(progressed.at(0).at(0).toLongLong(), 1000);
    EXPECT_EQ(progressed.at(1).at(0).toLongLong(), 1500);
    EXPECT_EQ(progressed.at(2).at(0).toLongLong(), 4294968796LL);
    EXPECT_EQ(total.at(0).at(0).toLongLong(), 6000000000LL);
    EXPECT_EQ(status.at(0).at(0).toString(), QString::fromUtf8("\xc3\xa9tat"));
    EXPECT_EQ(error.at(0).at(0).toString(), QStringLiteral("Error line 1\nError line 2"));
    EXPECT_TRUE(onGuiThread);
}

TEST_F(InstallThreadTest, ReadsTheBoardProductAndItsFormatParameter)
{
    struct Case
    {
        std::string content;
        const char* id;
        bool known;
        int formatParameter;
    } const cases[] = {{"2\n", "2", true, 0},
                       {"5\n", "5", true, 32},
                       {"6\n", "6", false, 0},
                       {"", "", false, 0},
                       {std::string("7\n\0x", 4), "7", true, 32}};
    for (const Case& c : cases)
    {
        InstallThread thread(nullptr, File("id", c.content), File("copy", ""));
        int formatParameter = -1;
        EXPECT_EQ(thread.ProductId(), QString::fromLatin1(c.id));
        EXPECT_EQ(thread.FindFormatParameter(formatParameter), c.known) << c.id;
        EXPECT_EQ(formatParameter, c.known ? c.formatParameter : -1) << c.id;
    }
    InstallThread noFile(nullptr, QString::fromStdString(dir / "absent"), File("copy", ""));
    EXPECT_TRUE(noFile.ProductId().isEmpty());
}

TEST_F(InstallThreadTest, LaunchRemovesTheOldInstallerCopyAndRuns)
{
    const QString copy = File("vex-pkg-install", "old");
    InstallThread thread(nullptr, File("id", "3"), copy);
    thread.SetLogDirectory(QString::fromStdString(dir.str()));
    const QString package = File("pkg.bin", "not a package");
    InstallOptions options;
    options.formatFlag = 1;
    options.dateTimeMode = DateTimeMode::kAsExtracted;
    thread.Launch(package, QStringLiteral("001_error.log"), options);
    ASSERT_TRUE(thread.wait(5000));
    EXPECT_FALSE(QFile::exists(copy));
    EXPECT_EQ(thread.PkgFileName(), package);
    EXPECT_EQ(thread.Options().formatFlag, 1);
    EXPECT_EQ(thread.Options().dateTimeMode, DateTimeMode::kAsExtracted);
}
}  // namespace
