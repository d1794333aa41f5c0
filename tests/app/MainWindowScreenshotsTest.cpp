#include "app/MainWindow.h"

#include "app/TimeLeftText.h"
#include "app/parameters/ParametersReader.h"
#include "instrument/CommandRunner.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using namespace vex::app;
using namespace vex::instrument;

// Renders the window as the instrument shows it at the start, during the installation, after success and
// after failure, into PNG files that anyone can look at: <build>/screenshots, or $VEX_SCREENSHOT_DIR; and
// measures every text the window can show against the label that shows it.
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
        environment.launch = [](const QString&, const QString&, vex::install::InstallOptions) {};
        environment.installationDataFile = QString::fromStdString(dir / "installation_data.bin");
        environment.productIdFile = QString::fromStdString(dir / "board_product_id");
        environment.installerCopyFile = QString::fromStdString(dir / "vex-pkg-install");
        environment.clock = [this] { return nowMs; };
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
    long long nowMs = 0;
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

        // 50 kB a second for 83 s: 5.85 MB, about two minutes, are left.
        for (int i = 1; i <= 83; ++i)
        {
            nowMs += 1000;
            emit window.Thread().InstallProgressed(i * 50000LL);
            window.OnInstallTimeout();
        }
        Shoot(window, "2-progress");
        EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("lblTimeLeft"))->text().toStdString(),
                  "About 2 min left");

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

namespace
{
// One line of a label as it is drawn: its text and the font of its paragraph.
struct ShownLine
{
    QString text;
    QFont font;
};

std::vector<ShownLine> ShownLines(const QLabel& label)
{
    std::vector<ShownLine> lines;
    const QString text = label.text();
    if (label.textFormat() == Qt::PlainText ||
        (label.textFormat() == Qt::AutoText && !Qt::mightBeRichText(text)))
    {
        for (const QString& line : text.split(QLatin1Char('\n'))) lines.push_back({line, label.font()});
        return lines;
    }
    // A rich text may set its own size (the designer texts say 22 pt); what it leaves open is the label's.
    QTextDocument document;
    document.setDefaultFont(label.font());
    document.setHtml(text);
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
    {
        const QTextCharFormat format =
            block.begin().atEnd() ? block.charFormat() : block.begin().fragment().charFormat();
        const QFont font = format.font().resolve(label.font());
        for (const QString& line : block.text().split(QChar::LineSeparator)) lines.push_back({line, font});
    }
    return lines;
}

// Where a label's text may go: inside its frame and margin.
QRect TextArea(const QLabel& label)
{
    const int margin = label.margin();
    return label.contentsRect().adjusted(margin, margin, -margin, -margin);
}

// Every line fits the width (a long line only where the label wraps words, and then no word is wider than the
// label) and all lines together fit the height.
void ExpectFits(const QLabel& label, const QString& what)
{
    const QRect area = TextArea(label);
    int height = 0;
    for (const ShownLine& line : ShownLines(label))
    {
        const QFontMetrics metrics(line.font);
        const int flags = Qt::AlignCenter | (label.wordWrap() ? Qt::TextWordWrap : 0);
        const QRect bounds = metrics.boundingRect(area, flags, line.text);
        const int width = label.wordWrap() ? bounds.width()
                                           : std::max(metrics.horizontalAdvance(line.text),
                                                      metrics.boundingRect(line.text).width());
        EXPECT_LE(width, area.width()) << label.objectName().toStdString() << ": '" << line.text.toStdString()
                                       << "' (" << what.toStdString() << ")";
        height += std::max({bounds.height(), metrics.height(), metrics.lineSpacing()});
    }
    EXPECT_LE(height, area.height()) << label.objectName().toStdString() << ": " << what.toStdString();
}

// The widest clock up to 99:59:59, digit by digit: a font need not give every digit the same width.
QString WidestClock(const QFont& font)
{
    const QFontMetrics metrics(font);
    const auto widest = [&metrics](char last)
    {
        QChar best = QLatin1Char('0');
        for (char digit = '0'; digit <= last; ++digit)
            if (metrics.horizontalAdvance(QLatin1Char(digit)) > metrics.horizontalAdvance(best))
                best = QLatin1Char(digit);
        return QString(best);
    };
    return widest('9') + widest('9') + QLatin1Char(':') + widest('5') + widest('9') + QLatin1Char(':') +
           widest('5') + widest('9');
}

TEST_F(MainWindowScreenshots, EveryTextFitsItsLabel)
{
    MainWindow window(QString(), QStringLiteral("/media/sd/update.pkg"), environment);
    const auto label = [&window](const char* name)
    {
        QLabel* found = window.findChild<QLabel*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    };
    QLabel* title = label("lblTitle");
    QLabel* time = label("lblTime");
    QLabel* clock = label("lblTimeValue");
    QLabel* activity = label("lblActivity");
    QLabel* status = label("lblStatus");
    QLabel* left = label("lblTimeLeft");
    ASSERT_TRUE(title && time && clock && activity && status && left);

    for (const QString& shown : TimeLeftText::All())
    {
        left->setText(shown);
        ExpectFits(*left, shown);
    }

    // The texts the window is built with, and those it shows again after a language change.
    for (int round = 0; round < 2; ++round)
    {
        const QString when = round == 0 ? QStringLiteral("built") : QStringLiteral("designer texts");
        for (QLabel* each : {title, time, clock, activity, status}) ExpectFits(*each, when);
        QEvent change(QEvent::LanguageChange);
        QApplication::sendEvent(&window, &change);
    }

    for (const QString& shown :
         {QStringLiteral("00:00:00"), QStringLiteral("99:59:59"), WidestClock(clock->font())})
    {
        clock->setText(shown);
        ExpectFits(*clock, shown);
    }

    activity->clear();
    window.OnInstallNewActivity(QStringLiteral("UPDATING THE OPERATING SYSTEM"));
    window.OnInstallNewActivity(QStringLiteral("Please do not turn the instrument off"));
    ExpectFits(*activity, QStringLiteral("the activities of a run"));

    // pre.sh explains a refusal in two lines; the longest here is too long for one line and wraps.
    const QString errors[] = {
        QStringLiteral("This update needs a newer boot loader.\nPlease install update 1.40 first."),
        QStringLiteral("pre.sh: this instrument refuses the update"),
        QStringLiteral("The boot loader of this instrument is older than the one this update was built for "
                       "and has to be replaced first.\nPlease install update 1.40 first, then this one."),
    };
    for (const QString& error : errors)
    {
        window.OnInstallErrorMessageChanged(error);
        ExpectFits(*status, error);
    }
    const QFontMetrics statusMetrics(status->font());
    EXPECT_GT(statusMetrics.horizontalAdvance(errors[2].section(QLatin1Char('\n'), 0, 0)),
              TextArea(*status).width())
        << "the longest error should need wrapping";

    for (const bool ok : {true, false})
    {
        window.OnInstallInstallCompleted(ok);
        ExpectFits(*activity, ok ? QStringLiteral("success") : QStringLiteral("failure"));
    }
}
}  // namespace
