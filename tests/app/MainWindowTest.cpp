#include "app/MainWindow.h"

#include "app/parameters/ParametersReader.h"
#include "instrument/CommandRunner.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QBitmap>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using namespace vex::app;
using namespace vex::instrument;
using namespace vex::install;

// fontconfig keeps a cache for the life of the process that the leak checker of the sanitizer build reports;
// it is not ours to free.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

namespace
{
// Widgets need a QApplication, made before any test of this executable runs (so that tests which only need
// a QCoreApplication find this one), on the offscreen platform so that no display is needed.
class WidgetApplication : public testing::Environment
{
public:
    void SetUp() override
    {
        if (QCoreApplication::instance() == nullptr)
        {
            if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            {
                qputenv("QT_QPA_PLATFORM", "offscreen");
            }
            static int argc = 1;
            static char name[] = "app_tests";
            static char* argv[] = {name, nullptr};
            new QApplication(argc, argv);
        }
    }
};
testing::Environment* const g_application = testing::AddGlobalTestEnvironment(new WidgetApplication);

QStringList g_messages;
void Collect(QtMsgType, const QMessageLogContext&, const QString& message)
{
    g_messages << message;
}

class RecordingRunner : public CommandRunner
{
public:
    int RunRedirected(const std::string& command, Capture, const std::string&) override
    {
        commands.push_back(command);
        return 0;
    }
    std::vector<std::string> commands;
};

class FakeReader : public ParametersReader
{
public:
    bool getParameters(std::string& pkg, std::string& log, int& flags) override
    {
        ++calls;
        if (!available)
        {
            return false;
        }
        pkg = pkgFile;
        log = logFile;
        flags = installFlags;
        return true;
    }
    bool available = true;
    std::string pkgFile = "/emmc/update/a.pkg";
    std::string logFile;
    int installFlags = 1;
    int calls = 0;
};

using Mode = DateTimeMode;

struct Launch
{
    QString pkgFile;
    QString logFile;
    Mode dateTimeMode;
    int formatFlag;
    int formatParameter;
    bool readBackFiles;
};

class MainWindowTest : public testing::Test
{
protected:
    MainWindowTest()
    {
        std::ofstream(dir / "board_product_id") << "2\n";
        environment.parametersReader = &reader;
        environment.commandRunner = &runner;
        environment.exitProcess = [this](int status) { exits.push_back(status); };
        environment.launch = [this](const QString& pkg, const QString& log, InstallOptions options)
        {
            launches.push_back({pkg, log, options.dateTimeMode, options.formatFlag, options.formatParameter,
                                options.readBackFiles});
        };
        environment.installationDataFile = Path("installation_data.bin");
        environment.productIdFile = Path("board_product_id");
        environment.installerCopyFile = Path("vex-pkg-install");
    }

    QString Path(const std::string& name) const { return QString::fromStdString(dir / name); }

    std::unique_ptr<MainWindow> Make(const QString& xml = QString(), const QString& pkg = QString())
    {
        auto window = std::make_unique<MainWindow>(xml, pkg, environment);
        return window;
    }

    template <typename T>
    static T* Find(MainWindow& window, const char* name)
    {
        T* widget = window.findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    static std::string Text(MainWindow& window, const char* label)
    {
        QLabel* widget = Find<QLabel>(window, label);
        return widget != nullptr ? widget->text().toStdString() : std::string();
    }

    TempDir dir;
    FakeReader reader;
    RecordingRunner runner;
    std::vector<int> exits;
    std::vector<Launch> launches;
    MainWindow::Environment environment;
};

struct WidgetLayout
{
    const char* name;
    QRect geometry;
    int pointSize;  // -1 where the font is sized in pixels
};

TEST_F(MainWindowTest, BuildsTheScreenAndRemovesTheLeftoverInstallationData)
{
    std::ofstream(dir / "installation_data.bin") << "old";
    std::unique_ptr<MainWindow> window = Make();
    EXPECT_FALSE(QFile::exists(Path("installation_data.bin")));

    EXPECT_EQ(window->size(), QSize(800, 480));
    EXPECT_TRUE(window->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(window->windowFlags() & Qt::CustomizeWindowHint);
    EXPECT_EQ(window->windowTitle().toStdString(), "MainWindow");
    ASSERT_NE(window->centralWidget(), nullptr);
    EXPECT_EQ(window->centralWidget()->objectName().toStdString(), "centralWidget");

    const WidgetLayout layouts[] = {
        {"pbUpgrade", QRect(30, 290, 741, 41), 18},   {"lblTitle", QRect(2, 2, 796, 32), 18},
        {"lblTime", QRect(510, 400, 151, 41), -1},    {"lblTimeValue", QRect(660, 400, 101, 41), -1},
        {"lblActivity", QRect(30, 82, 741, 111), 22}, {"lblStatus", QRect(30, 177, 741, 91), -1},
        {"lblTimeLeft", QRect(30, 400, 471, 41), -1},
    };
    for (const WidgetLayout& layout : layouts)
    {
        QWidget* widget = Find<QWidget>(*window, layout.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->parentWidget(), window->centralWidget()) << layout.name;
        EXPECT_EQ(widget->geometry(), layout.geometry) << layout.name;
        EXPECT_EQ(widget->font().pointSize(), layout.pointSize) << layout.name;
    }

    EXPECT_EQ(Find<QLabel>(*window, "lblTitle")->styleSheet().toStdString(),
              "background-color: rgb(0, 0, 127);\ncolor: rgb(255, 255, 255);");
    EXPECT_EQ(Text(*window, "lblTitle"), "System Update");
    EXPECT_EQ(Text(*window, "lblTimeValue"), "00:00:00");
    EXPECT_EQ(Text(*window, "lblActivity"), "");
    EXPECT_EQ(Text(*window, "lblStatus"), "");
    EXPECT_EQ(Text(*window, "lblTimeLeft"), "");
    EXPECT_TRUE(window->Timer().isSingleShot());
    EXPECT_EQ(window->Timer().interval(), 250);
    EXPECT_FALSE(window->Timer().isActive());

    // A language change brings back the designer texts.
    QEvent change(QEvent::LanguageChange);
    QApplication::sendEvent(window.get(), &change);
    EXPECT_NE(Text(*window, "lblActivity").find("UPDATING THE OPERATING SYSTEM"), std::string::npos);
    EXPECT_NE(Text(*window, "lblActivity").find("#008000"), std::string::npos);
}

TEST_F(MainWindowTest, IconIsFoundBesideTheProgramAndTheCursorIsInvisible)
{
    // The build copies the icon next to the program; the window looks it up from the working directory.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QStringLiteral(QT_TESTCASE_BUILDDIR "/app")));
    std::unique_ptr<MainWindow> window = Make(QString(), QStringLiteral("a.pkg"));
    QDir::setCurrent(previous);
    EXPECT_FALSE(window->windowIcon().isNull());

    window->Start();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->Timer().isActive());
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    const QBitmap shape = QApplication::overrideCursor()->bitmap(Qt::ReturnByValue);
    const QBitmap mask = QApplication::overrideCursor()->mask(Qt::ReturnByValue);
    ASSERT_FALSE(shape.isNull());
    ASSERT_FALSE(mask.isNull());
    const QImage maskImage = mask.toImage().convertToFormat(QImage::Format_Mono);
    for (int y = 0; y < maskImage.height(); ++y)
    {
        for (int x = 0; x < maskImage.width(); ++x)
        {
            ASSERT_EQ(maskImage.pixelIndex(x, y), 0) << "visible cursor pixel at " << x << "," << y;
        }
    }
    window.reset();
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(MainWindowTest, FirstTickStartsTheClockAndLaunchesWithTheCommandLinePackage)
{
    g_messages.clear();
    QtMessageHandler previous = qInstallMessageHandler(Collect);
    std::unique_ptr<MainWindow> window = Make(QString(), QStringLiteral("/media/sd/a.pkg"));
    window->OnInstallTimeout();
    qInstallMessageHandler(previous);

    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].pkgFile.toStdString(), "/media/sd/a.pkg");
    EXPECT_EQ(launches[0].logFile.toStdString(), "001_error.log");
    EXPECT_EQ(launches[0].formatFlag, 0);
    EXPECT_EQ(launches[0].formatParameter, 0) << "the board's format parameter is the thread's to find";
    EXPECT_EQ(reader.calls, 0) << "a package on the command line leaves the on-chip RAM alone";
    EXPECT_FALSE(window->Timer().isSingleShot());
    EXPECT_EQ(window->Timer().interval(), 1000);
    EXPECT_TRUE(window->Timer().isActive());
    EXPECT_TRUE(g_messages.contains(QStringLiteral("First SD install:")));
    EXPECT_TRUE(g_messages.contains(QStringLiteral("\"/media/sd/a.pkg\"")));
    EXPECT_TRUE(g_messages.contains(QStringLiteral("\"001_error.log\"")));

    // Every later tick is one second of the clock.
    window->OnInstallTimeout();
    EXPECT_EQ(Text(*window, "lblTimeValue"), "00:00:01");
    for (int i = 0; i < 3600; ++i)
    {
        window->OnInstallTimeout();
    }
    EXPECT_EQ(Text(*window, "lblTimeValue"), "01:00:01");
    EXPECT_EQ(launches.size(), 1u);

    // The end stops the clock.
    emit window->Thread().Done(false);
    EXPECT_FALSE(window->Timer().isActive());
}

struct OcmCase
{
    const char* name;
    bool available;
    int installFlags;
    const char* expectedPkg;
    const char* expectedLog;
    int expectedFormat;
    const char* flagsMessage;
};

class MainWindowOcm : public MainWindowTest, public testing::WithParamInterface<OcmCase>
{
};

TEST_P(MainWindowOcm, WithoutPackageOptionTheRunParametersComeFromOnChipRam)
{
    const OcmCase& c = GetParam();
    reader.available = c.available;
    reader.logFile = "005_error.log";
    reader.installFlags = c.installFlags;
    g_messages.clear();
    QtMessageHandler previous = qInstallMessageHandler(Collect);
    std::unique_ptr<MainWindow> window = Make();
    window->OnInstallTimeout();
    qInstallMessageHandler(previous);

    EXPECT_EQ(reader.calls, 1);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].pkgFile.toStdString(), c.expectedPkg);
    EXPECT_EQ(launches[0].logFile.toStdString(), c.expectedLog);
    EXPECT_EQ(launches[0].formatFlag, c.expectedFormat);
    EXPECT_FALSE(g_messages.contains(QStringLiteral("First SD install:")));
    EXPECT_TRUE(g_messages.contains(QLatin1String(c.flagsMessage))) << g_messages.join('|').toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, MainWindowOcm,
    testing::Values(
        OcmCase{"FormatRequested", true, 1, "/emmc/update/a.pkg", "005_error.log", 1, "\"1\""},
        OcmCase{"OnlyBitZeroIsTheFormatFlag", true, 0x1e, "/emmc/update/a.pkg", "005_error.log", 0, "\"1e\""},
        OcmCase{"OtherBitsWithFormat", true, 0x103, "/emmc/update/a.pkg", "005_error.log", 1, "\"103\""},
        // The failed read is not looked at: the run starts with nothing and fails to load.
        OcmCase{"Unreadable", false, 1, "", "", 0, "\"0\""}),
    [](const testing::TestParamInfo<OcmCase>& param) { return std::string(param.param.name); });

TEST_F(MainWindowTest, ShowsActivitiesErrorsAndProgressSentByTheThread)
{
    std::unique_ptr<MainWindow> window = Make(QString(), QStringLiteral("a.pkg"));
    InstallThread& thread = window->Thread();

    emit thread.NewActivityStarted(QStringLiteral("UPDATING THE OPERATING SYSTEM"));
    emit thread.NewActivityStarted(QStringLiteral("Please do not turn the instrument off"));
    EXPECT_EQ(Text(*window, "lblActivity"),
              "UPDATING THE OPERATING SYSTEM<br>Please do not turn the instrument off");

    emit thread.ErrorMessageChanged(QStringLiteral("first"));
    emit thread.ErrorMessageChanged(QStringLiteral("Bad file:\n    /emmc/a\n"));
    EXPECT_EQ(Text(*window, "lblStatus"), "<font color=red>Bad file:<br>    /emmc/a<br></font>");

    emit thread.StatusMessageChanged(QStringLiteral("Installing /emmc/a"));
    EXPECT_EQ(Text(*window, "lblStatus"), "<font color=red>Bad file:<br>    /emmc/a<br></font>");

    QProgressBar* bar = Find<QProgressBar>(*window, "pbUpgrade");
    emit thread.BytesToProcessCalculated(1500000);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 1500000);
    emit thread.InstallProgressed(1000);
    EXPECT_EQ(bar->value(), 1000);

    emit thread.BytesToProcessCalculated(10000000);
    EXPECT_EQ(bar->maximum(), 2000000);
    emit thread.InstallProgressed(7);
    EXPECT_EQ(bar->value(), 1);
    emit thread.InstallProgressed(9999999);
    EXPECT_EQ(bar->value(), 1999999);

    // Rounding lost the last step; success shows a full bar, failure shows where it stopped.
    emit thread.Done(true);
    EXPECT_EQ(bar->value(), 2000000);
    EXPECT_EQ(
        Text(*window, "lblActivity"),
        "<font color=green>SYSTEM UPDATE COMPLETED</font><br><font color=green>Please turn the instrument "
        "off</font>");
}

// The clock ticks once a second; the estimate appears once the rate has settled, counts down and gives way
// to the outcome.
TEST_F(MainWindowTest, ShowsTheTimeLeftOnceItIsStableThenTheOutcome)
{
    long long nowMs = 0;
    environment.clock = [&nowMs] { return nowMs; };
    for (const bool ok : {true, false})
    {
        std::unique_ptr<MainWindow> window = Make(QString(), QStringLiteral("a.pkg"));
        window->OnInstallTimeout();  // the start tick: the clock runs from here
        emit window->Thread().BytesToProcessCalculated(600 * 1000000LL);
        std::vector<std::string> shown;
        // 1 MB a second: 600 s for the whole run.
        for (int s = 1; s <= 400; ++s)
        {
            nowMs += 1000;
            emit window->Thread().InstallProgressed(s * 1000000LL);
            window->OnInstallTimeout();
            shown.push_back(Text(*window, "lblTimeLeft"));
        }
        EXPECT_EQ(shown[0], "") << "no estimate from a single reading";
        EXPECT_EQ(shown[3], "") << "nor during the warm-up";
        EXPECT_EQ(shown[20], "About 10 min left");
        EXPECT_EQ(shown[300], "About 5 min left");
        EXPECT_EQ(shown[399], "About 3 min left");
        emit window->Thread().Done(ok);
        EXPECT_EQ(Text(*window, "lblTimeLeft"), ok ? "Update completed" : "Update failed");
    }
}

TEST_F(MainWindowTest, FailureKeepsTheBarWhereItStopped)
{
    std::unique_ptr<MainWindow> window = Make(QString(), QStringLiteral("a.pkg"));
    emit window->Thread().BytesToProcessCalculated(1000);
    emit window->Thread().InstallProgressed(400);
    emit window->Thread().Done(false);
    EXPECT_EQ(Find<QProgressBar>(*window, "pbUpgrade")->value(), 400);
    EXPECT_EQ(Text(*window, "lblActivity"),
              "<font color=red>SYSTEM UPDATE FAILED</font><br><font color=red>Please turn the instrument "
              "off</font>");
}

struct EndCase
{
    const char* name;
    bool powerOff;  // -s given
    int timeout;
    bool exitOnCompletion;  // -e given
    bool ok;
    bool poweredOff;
    int exitStatus;  // -1: no exit
};

class MainWindowEnd : public MainWindowTest, public testing::WithParamInterface<EndCase>
{
};

TEST_P(MainWindowEnd, AppliesTheEndOfRunOptions)
{
    const EndCase& c = GetParam();
    std::unique_ptr<MainWindow> window = Make(QString(), QStringLiteral("a.pkg"));
    window->SetPowerOffTimeout(c.timeout);
    window->SetPowerOffEnabled(c.powerOff);
    window->SetExitOnCompletion(c.exitOnCompletion);
    window->Start();
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(launches.size()), 1, 5000);

    emit window->Thread().Done(c.ok);
    EXPECT_EQ(window->PowerOffArmed(), c.poweredOff);
    if (c.poweredOff)
    {
        EXPECT_EQ(window->Timer().interval(), c.timeout * 1000);
        QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(runner.commands.size()), 1, 5000);
        EXPECT_EQ(runner.commands[0], "/sbin/power_offd -f");
        EXPECT_FALSE(window->Timer().isActive()) << "the power-off timer fires once";
    }
    else
    {
        EXPECT_FALSE(window->Timer().isActive());
        QTest::qWait(50);
        EXPECT_TRUE(runner.commands.empty());
    }
    if (c.exitStatus < 0)
    {
        EXPECT_TRUE(exits.empty());
    }
    else
    {
        EXPECT_EQ(exits, std::vector<int>{c.exitStatus});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, MainWindowEnd,
    testing::Values(EndCase{"PowerOffAfterSuccess", true, 0, false, true, true, -1},
                    EndCase{"PowerOffAfterOneSecond", true, 1, false, true, true, -1},
                    EndCase{"NoPowerOffAfterFailure", true, 0, false, false, false, -1},
                    EndCase{"PowerOffIgnoresExitOnSuccess", true, 0, true, true, true, -1},
                    EndCase{"PowerOffIgnoresExitOnFailure", true, 10, true, false, false, -1},
                    EndCase{"ExitZeroAfterSuccess", false, 0, true, true, false, 0},
                    EndCase{"ExitOneAfterFailure", false, 0, true, false, false, 1},
                    EndCase{"StayAfterSuccess", false, 0, false, true, false, -1},
                    EndCase{"StayAfterFailure", false, 0, false, false, false, -1}),
    [](const testing::TestParamInfo<EndCase>& param) { return std::string(param.param.name); });

TEST_F(MainWindowTest, PowerOffDelayNeitherOverflowsNorGoesNegative)
{
    for (int timeout : {3000000, -5})
    {
        std::unique_ptr<MainWindow> window = Make(QString(), QStringLiteral("a.pkg"));
        window->SetPowerOffTimeout(timeout);
        window->SetPowerOffEnabled(true);
        emit window->Thread().Done(true);
        EXPECT_TRUE(window->Timer().isActive()) << timeout;
        EXPECT_GE(window->Timer().interval(), 0) << timeout;
        EXPECT_EQ(window->Timer().interval(), timeout > 0 ? INT_MAX : 0);
    }
}

struct ConfigCase
{
    const char* name;
    const char* fileName;  // nullptr: no -x option
    const char* content;   // nullptr: the file is not created; "/": a directory of that name
    Mode mode;
    const char* message;  // the debug message, or nullptr for none
};

// 100 000 nested elements, as the first child of the root: the DOM once overflowed the stack on them.
const char* DeepConfig()
{
    static const std::string text = []
    {
        std::string xml = "<CONFIG>";
        for (int i = 0; i < 100000; ++i) xml += "<a>";
        for (int i = 0; i < 100000; ++i) xml += "</a>";
        return xml + "<DATE_TIME>original</DATE_TIME></CONFIG>";
    }();
    return text.c_str();
}

class MainWindowConfig : public MainWindowTest, public testing::WithParamInterface<ConfigCase>
{
};

TEST_P(MainWindowConfig, ReadsTheDateTimeMode)
{
    const ConfigCase& c = GetParam();
    QString xml;
    if (c.fileName != nullptr)
    {
        xml = Path(c.fileName);
        if (c.content != nullptr && std::string(c.content) == "/")
        {
            ASSERT_TRUE(QDir().mkpath(xml));  // exists, but cannot be opened as a file, even by root
        }
        else if (c.content != nullptr)
        {
            std::ofstream(dir / c.fileName) << c.content;
        }
    }
    std::unique_ptr<MainWindow> window = Make(xml, QStringLiteral("a.pkg"));
    g_messages.clear();
    QtMessageHandler previous = qInstallMessageHandler(Collect);
    window->ReadConfigFile();
    qInstallMessageHandler(previous);

    EXPECT_EQ(window->DateTimeMode(), c.mode);
    if (c.message == nullptr)
    {
        EXPECT_TRUE(g_messages.isEmpty()) << g_messages.join('|').toStdString();
    }
    else
    {
        ASSERT_EQ(g_messages.size(), 1);
        EXPECT_EQ(g_messages[0].toStdString(), QString::fromLatin1(c.message).arg(xml).toStdString());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, MainWindowConfig,
    testing::Values(
        ConfigCase{"Original", "c.xml", "<CONFIG><DATE_TIME>original</DATE_TIME></CONFIG>",
                   Mode::kAsExtracted, nullptr},
        ConfigCase{"CapitalSuffix", "c.XML", "<CONFIG><DATE_TIME>pkg_creation</DATE_TIME></CONFIG>",
                   Mode::kPackage, nullptr},
        ConfigCase{"FirstDateTimeWins", "c.xml",
                   "<?xml version=\"1.0\"?>\n<CONFIG>\n  <OTHER>original</OTHER>\n"
                   "  <DATE_TIME>pkg_creation</DATE_TIME>\n  <DATE_TIME>original</DATE_TIME>\n</CONFIG>\n",
                   Mode::kPackage, nullptr},
        ConfigCase{"Current", "c.xml", "<CONFIG><DATE_TIME>current</DATE_TIME></CONFIG>", Mode::kNow,
                   nullptr},
        ConfigCase{"UnknownModeLeavesItAlone", "c.xml", "<CONFIG><DATE_TIME>Original</DATE_TIME></CONFIG>",
                   Mode::kNow, nullptr},
        ConfigCase{"NoOption", nullptr, nullptr, Mode::kNow, "\"config file: invalid extension\""},
        ConfigCase{"TextSuffix", "c.txt", "<CONFIG><DATE_TIME>original</DATE_TIME></CONFIG>", Mode::kNow,
                   "\"config file: invalid extension\""},
        ConfigCase{"Missing", "missing.xml", nullptr, Mode::kNow, "\"config file: does not exist\""},
        ConfigCase{"Unreadable", "d.xml", "/", Mode::kNow, "\"config file: can't open %1\""},
        ConfigCase{"LowerCaseRoot", "c.xml", "<config><DATE_TIME>original</DATE_TIME></config>", Mode::kNow,
                   "\"config file: invalid root tag\""},
        ConfigCase{"ParseError", "c.xml", "<CONFIG>\n<DATE_TIME>original</CONFIG>", Mode::kNow,
                   "\"xml file parse error at line 2, column 28: tag mismatch\""},
        // Past the limit the file is not read, whatever it says after.
        ConfigCase{"NestedTooDeep", "c.xml", DeepConfig(), Mode::kNow,
                   "\"config file: elements nested more than 32 levels deep at line 1, column 104\""},
        ConfigCase{"NestedToTheLimit", "c.xml",
                   "<CONFIG><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a>"
                   "<a><a><a><a><a></a></a></a></a></a></a></a></a></a></a></a></a></a></a></a></a></a></a>"
                   "</a></a></a></a></a></a></a></a></a></a></a></a></a><DATE_TIME>original</DATE_TIME>"
                   "</CONFIG>",
                   Mode::kAsExtracted, nullptr}),
    [](const testing::TestParamInfo<ConfigCase>& param) { return std::string(param.param.name); });

TEST_F(MainWindowTest, ConfigFileIsReadWhenTheInstallationStarts)
{
    std::ofstream(dir / "c.xml") << "<CONFIG><DATE_TIME>original</DATE_TIME></CONFIG>";
    std::unique_ptr<MainWindow> window = Make(Path("c.xml"), QStringLiteral("a.pkg"));
    window->OnInstallTimeout();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].dateTimeMode, Mode::kAsExtracted);
}

// Whether files are read back from the medium: the first "READ_BACK_FILES" element says "yes" or "no"; any
// other text, or none, leaves the default. The run gets what was decided.
TEST_F(MainWindowTest, ReadsWhetherFilesAreReadBack)
{
    const bool byDefault = InstallOptions::kReadBackFilesByDefault;
    const std::pair<const char*, bool> cases[] = {
        {"<CONFIG></CONFIG>", byDefault},
        {"<CONFIG><READ_BACK_FILES>no</READ_BACK_FILES></CONFIG>", false},
        {"<CONFIG><READ_BACK_FILES> yes </READ_BACK_FILES><READ_BACK_FILES>no</READ_BACK_FILES></CONFIG>",
         true},
        {"<CONFIG><READ_BACK_FILES>No</READ_BACK_FILES></CONFIG>", byDefault},
        {"<CONFIG><READ_BACK_FILES>0</READ_BACK_FILES></CONFIG>", byDefault},
    };
    for (const auto& c : cases)
    {
        std::ofstream(dir / "c.xml") << c.first;
        launches.clear();
        std::unique_ptr<MainWindow> window = Make(Path("c.xml"), QStringLiteral("a.pkg"));
        window->OnInstallTimeout();
        EXPECT_EQ(window->ReadBackFiles(), c.second) << c.first;
        ASSERT_EQ(launches.size(), 1u);
        EXPECT_EQ(launches[0].readBackFiles, c.second) << c.first;
    }
}

// The trusted keys' folder comes from the first "KEY_DIRECTORY" element, wherever it stands among the
// "DATE_TIME" elements; without one (or with an empty one) it is the compiled-in default.
TEST_F(MainWindowTest, ReadsTheKeyDirectory)
{
    struct Case
    {
        const char* content;
        const char* keyDirectory;
        Mode mode;
    };
    const Case cases[] = {
        {"<CONFIG><DATE_TIME>original</DATE_TIME></CONFIG>", "/etc/vex-pkg/keys", Mode::kAsExtracted},
        {"<CONFIG><KEY_DIRECTORY>/opt/keys</KEY_DIRECTORY><DATE_TIME>original</DATE_TIME></CONFIG>",
         "/opt/keys", Mode::kAsExtracted},
        {"<CONFIG><DATE_TIME>pkg_creation</DATE_TIME><DATE_TIME>original</DATE_TIME>"
         "<KEY_DIRECTORY> /a </KEY_DIRECTORY><KEY_DIRECTORY>/b</KEY_DIRECTORY></CONFIG>",
         "/a", Mode::kPackage},
        {"<CONFIG><KEY_DIRECTORY>  </KEY_DIRECTORY></CONFIG>", "/etc/vex-pkg/keys", Mode::kNow},
    };
    for (const Case& c : cases)
    {
        std::ofstream(dir / "c.xml", std::ios::trunc) << c.content;
        std::unique_ptr<MainWindow> window = Make(Path("c.xml"), QStringLiteral("a.pkg"));
        window->ReadConfigFile();
        EXPECT_EQ(window->KeyDirectory().toStdString(), c.keyDirectory) << c.content;
        EXPECT_EQ(window->DateTimeMode(), c.mode) << c.content;
    }
}

// The first "SECURITY_LEVEL" is kept as written, so that the policy can refuse what is neither 0 nor 1.
TEST_F(MainWindowTest, ReadsTheSecurityLevelAsWritten)
{
    const std::pair<const char*, const char*> cases[] = {
        {"<CONFIG><SECURITY_LEVEL>1</SECURITY_LEVEL><SECURITY_LEVEL>0</SECURITY_LEVEL></CONFIG>", "1"},
        {"<CONFIG><DATE_TIME>original</DATE_TIME><SECURITY_LEVEL> 0 </SECURITY_LEVEL></CONFIG>", " 0 "},
        {"<CONFIG><SECURITY_LEVEL></SECURITY_LEVEL></CONFIG>", ""},
    };
    for (const auto& c : cases)
    {
        std::ofstream(dir / "c.xml", std::ios::trunc) << c.first;
        std::unique_ptr<MainWindow> window = Make(Path("c.xml"), QStringLiteral("a.pkg"));
        window->ReadConfigFile();
        EXPECT_TRUE(window->SecurityLevelConfigured()) << c.first;
        EXPECT_EQ(window->SecurityLevel().toStdString(), c.second) << c.first;
    }
    std::ofstream(dir / "c.xml", std::ios::trunc) << "<CONFIG><DATE_TIME>original</DATE_TIME></CONFIG>";
    std::unique_ptr<MainWindow> window = Make(Path("c.xml"), QStringLiteral("a.pkg"));
    window->ReadConfigFile();
    EXPECT_FALSE(window->SecurityLevelConfigured());
}
}  // namespace
