#include "MainWindow.h"

#include "CommandRunner.h"
#include "ParametersReader.h"
#include "TempDir.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QTest>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

// Renders the window as the instrument shows it at the start, during the installation, after success and
// after failure, into PNG files that anyone can look at: <build>/screenshots, or $VEX_SCREENSHOT_DIR.
namespace
{
class NoCommands : public CommandRunner
{
public:
    int RunRedirected(const std::string&, Capture, const std::string&) override { return 0; }
};

class NoParameters : public ParametersReader
{
public:
    bool getParameters(std::string&, std::string&, int&) override { return false; }
};

QString ScreenshotDir()
{
    const QString fromEnvironment = qEnvironmentVariable("VEX_SCREENSHOT_DIR");
    return fromEnvironment.isEmpty() ? QStringLiteral(QT_TESTCASE_BUILDDIR "/screenshots") : fromEnvironment;
}

// Counts the pixels of `image` inside `area` that are close to `colour`.
int CountColour(const QImage& image, const QRect& area, QColor colour)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
    {
        for (int x = area.left(); x <= area.right(); ++x)
        {
            const QColor pixel = image.pixelColor(x, y);
            if (std::abs(pixel.red() - colour.red()) < 40 && std::abs(pixel.green() - colour.green()) < 40 &&
                std::abs(pixel.blue() - colour.blue()) < 40)
            {
                ++count;
            }
        }
    }
    return count;
}

class MainWindowScreenshots : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE(qobject_cast<QApplication*>(QCoreApplication::instance()), nullptr);
        std::ofstream(dir / "board_product_id") << "2\n";
        environment.parametersReader = &parameters;
        environment.commandRunner = &commands;
        environment.exitProcess = [](int) {};
        environment.launch = [](const QString&, const QString&, int, int) {};
        environment.installationDataFile = QString::fromStdString(dir / "installation_data.bin");
        environment.productIdFile = QString::fromStdString(dir / "board_product_id");
        environment.installerCopyFile = QString::fromStdString(dir / "vex-pkg-install");
        outputDir = ScreenshotDir();
        ASSERT_TRUE(QDir().mkpath(outputDir));
    }

    // Saves the window as NAME.png and gives the image back for checks.
    QImage Shoot(MainWindow& window, const char* name)
    {
        QApplication::processEvents();
        const QImage image = window.grab().toImage();
        const QString path = outputDir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
        EXPECT_TRUE(image.save(path)) << path.toStdString();
        std::printf("screenshot %s\n", path.toLocal8Bit().constData());
        return image;
    }

    // The window as the installation thread leaves it after the start and some progress.
    void Run(MainWindow& window, qint64 done, int seconds)
    {
        window.Start();
        window.OnInstallTimeout();  // the start tick, without waiting for it
        emit window.Thread().NewActivityStarted(QStringLiteral("UPDATING THE OPERATING SYSTEM"));
        emit window.Thread().NewActivityStarted(QStringLiteral("Please do not turn the instrument off"));
        emit window.Thread().BytesToProcessCalculated(10000000);
        emit window.Thread().InstallProgressed(done);
        for (int i = 0; i < seconds; ++i)
        {
            window.OnInstallTimeout();
        }
    }

    TempDir dir;
    NoCommands commands;
    NoParameters parameters;
    MainWindow::Environment environment;
    QString outputDir;
};

const QRect kTitle(2, 2, 796, 32);
const QRect kActivity(30, 82, 741, 111);
const QRect kStatus(30, 177, 741, 91);
const QRect kBar(30, 290, 741, 41);

TEST_F(MainWindowScreenshots, StartProgressSuccessFailure)
{
    {
        MainWindow window(QString(), QStringLiteral("/media/sd/update.pkg"), environment);
        Run(window, 0, 0);
        const QImage start = Shoot(window, "1-start");
        ASSERT_EQ(start.size(), QSize(800, 480));
        EXPECT_GT(CountColour(start, kTitle, QColor(0, 0, 127)), kTitle.width() * kTitle.height() / 2);
        EXPECT_GT(CountColour(start, kActivity, QColor(0, 0, 0)), 100) << "activity text";

        emit window.Thread().InstallProgressed(4200000);
        for (int i = 0; i < 83; ++i)
        {
            window.OnInstallTimeout();
        }
        Shoot(window, "2-progress");

        emit window.Thread().InstallProgressed(9999990);
        emit window.Thread().Done(true);
        const QImage success = Shoot(window, "3-success");
        EXPECT_GT(CountColour(success, kActivity, QColor(0, 128, 0)), 100) << "green outcome";
        EXPECT_EQ(CountColour(success, kActivity, QColor(255, 0, 0)), 0);
    }
    {
        MainWindow window(QString(), QStringLiteral("/media/sd/update.pkg"), environment);
        Run(window, 1300000, 12);
        emit window.Thread().ErrorMessageChanged(
            QStringLiteral("This update needs a newer boot loader.\nPlease install update 1.40 first."));
        emit window.Thread().Done(false);
        const QImage failure = Shoot(window, "4-failure");
        EXPECT_GT(CountColour(failure, kActivity, QColor(255, 0, 0)), 100) << "red outcome";
        EXPECT_GT(CountColour(failure, kStatus, QColor(255, 0, 0)), 100) << "red error text";
        EXPECT_EQ(CountColour(failure, kActivity, QColor(0, 128, 0)), 0);
    }
}
}  // namespace
