#include "InstallThread.h"

#include "InstallProgressNotifier.h"
#include "TempDir.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>

namespace
{
// Queued connections need an application object on the test's (main) thread.
void EnsureApplication()
{
    if (QCoreApplication::instance() == nullptr)
    {
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
}

// Processes events until the spy has `count` signals or five seconds have passed.
bool WaitFor(const QSignalSpy& spy, int count)
{
    QElapsedTimer timer;
    timer.start();
    while (spy.count() < count && timer.elapsed() < 5000)
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return spy.count() >= count;
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

class InstallThreadTest : public ::testing::Test
{
protected:
    void SetUp() override { EnsureApplication(); }

    std::string ProductFile(const std::string& content)
    {
        const std::string path = dir / "board_product_id";
        WriteFile(path, content);
        return path;
    }

    TempDir dir;
};

TEST_F(InstallThreadTest, RelaysEngineReportsFromAnotherThreadInOrder)
{
    InstallThread thread(nullptr, QString::fromStdString(ProductFile("2\n")),
                         QString::fromStdString(dir / "copy"));
    QSignalSpy progressed(&thread, &InstallThread::InstallProgressed);
    QSignalSpy total(&thread, &InstallThread::BytesToProcessCalculated);
    QSignalSpy status(&thread, &InstallThread::StatusMessageChanged);
    QSignalSpy error(&thread, &InstallThread::ErrorMessageChanged);

    bool summedOnGuiThread = true;
    QThread* const guiThread = QThread::currentThread();
    QObject::connect(&thread, &InstallThread::InstallProgressed, &thread,
                     [&](qint64) { summedOnGuiThread = summedOnGuiThread && QThread::currentThread() == guiThread; });

    InstallProgressNotifierInterface* engineSide = thread.Notifier();
    std::thread engine([engineSide] {
        engineSide->BytesToProcess(6000000000LL);
        engineSide->BytesProcessed(1000);
        engineSide->BytesProcessed(500);
        engineSide->BytesProcessed(4294967296LL);
        engineSide->StatusMessage("Installing");
        engineSide->ErrorMessage("Error line 1\nError line 2");
    });
    engine.join();

    ASSERT_TRUE(WaitFor(progressed, 3));
    ASSERT_TRUE(WaitFor(error, 1));
    EXPECT_EQ(progressed.at(0).at(0).toLongLong(), 1000);
    EXPECT_EQ(progressed.at(1).at(0).toLongLong(), 1500);
    EXPECT_EQ(progressed.at(2).at(0).toLongLong(), 4294968796LL);
    EXPECT_EQ(thread.RunningTotal(), 4294968796LL);
    ASSERT_EQ(total.count(), 1);
    EXPECT_EQ(total.at(0).at(0).toLongLong(), 6000000000LL);
    ASSERT_EQ(status.count(), 1);
    EXPECT_EQ(status.at(0).at(0).toString(), QStringLiteral("Installing"));
    EXPECT_EQ(error.at(0).at(0).toString(), QStringLiteral("Error line 1\nError line 2"));
    EXPECT_TRUE(summedOnGuiThread);
}

struct ProductCase
{
    std::string fileContent;
    const char* productId;
    bool known;
    int formatParameter;
};

class InstallThreadProductTest : public InstallThreadTest, public ::testing::WithParamInterface<ProductCase>
{
};

TEST_P(InstallThreadProductTest, ReadsTheBoardProductAndItsFormatParameter)
{
    const ProductCase& c = GetParam();
    InstallThread thread(nullptr, QString::fromStdString(ProductFile(c.fileContent)),
                         QString::fromStdString(dir / "copy"));
    EXPECT_EQ(thread.ProductId(), QString::fromLatin1(c.productId));
    int formatParameter = -1;
    EXPECT_EQ(thread.FindFormatParameter(formatParameter), c.known);
    if (c.known)
    {
        EXPECT_EQ(formatParameter, c.formatParameter);
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, InstallThreadProductTest,
                         ::testing::Values(ProductCase{"2\n", "2", true, 0}, ProductCase{"5\n", "5", true, 32},
                                           ProductCase{"9", "9", true, 32}, ProductCase{"6\n", "6", false, 0},
                                           ProductCase{"", "", false, 0},
                                           ProductCase{std::string("7\n\0garbage", 10), "7", true, 32}));

TEST_F(InstallThreadTest, MissingProductFileLeavesTheProductUnknown)
{
    InstallThread thread(nullptr, QString::fromStdString(dir / "absent"), QString::fromStdString(dir / "copy"));
    EXPECT_TRUE(thread.ProductId().isEmpty());
    int formatParameter = -1;
    EXPECT_FALSE(thread.FindFormatParameter(formatParameter));
}

TEST_F(InstallThreadTest, LaunchStoresTheParametersRemovesTheOldCopyAndRuns)
{
    const std::string copy = dir / "vex-pkg-install";
    WriteFile(copy, "old installer");
    InstallThread thread(nullptr, QString::fromStdString(ProductFile("3")), QString::fromStdString(copy));
    QSignalSpy finished(&thread, &QThread::finished);

    thread.Launch(QStringLiteral("/media/pkg.bin"), QStringLiteral("001_error.log"), 2, 1);

    ASSERT_TRUE(WaitFor(finished, 1));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(copy)));
    EXPECT_EQ(thread.PkgFileName(), QStringLiteral("/media/pkg.bin"));
    EXPECT_EQ(thread.LogFileName(), QStringLiteral("001_error.log"));
    EXPECT_EQ(thread.DateTimeMode(), 2);
    EXPECT_EQ(thread.FormatFlag(), 1);
}
}  // namespace
