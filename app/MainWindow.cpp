#include "app/MainWindow.h"

#include "app/MainWindowUi.h"
#include "app/ProgressScale.h"
#include "app/TimeLeftText.h"
#include "app/XmlNesting.h"
#include "app/parameters/ParametersReaderDefault.h"
#include "instrument/linux/SystemCommandRunner.h"
#include "pkg/trust/TrustedKeys.h"

#include <QApplication>
#include <QBitmap>
#include <QCursor>
#include <QDebug>
#include <QDomDocument>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>

// Outside any namespace, as Qt's resource initialiser requires. The resources live in a static library, so
// they are pulled in by this reference rather than by a static constructor that the linker would drop.
static void InitResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace vex::app
{

const char* const MainWindow::kInstallationDataFile = "/emmc/update/installation_data.bin";
const char* const MainWindow::kPowerOffCommand = "/sbin/power_offd -f";

namespace
{
constexpr int kStartDelayMs = 250;
constexpr int kClockPeriodMs = 1000;
}  // namespace

MainWindow::MainWindow(const QString& xmlFile, const QString& pkgFile, QWidget* parent)
    : MainWindow(xmlFile, pkgFile, Environment(), parent)
{
}

MainWindow::MainWindow(const QString& xmlFile, const QString& pkgFile, const Environment& env,
                       QWidget* parent)
    : QMainWindow(parent),
      environment(env),
      // Reads the product identifier by running a command, so the window appears only once that has ended.
      thread(nullptr, env.productIdFile, env.installerCopyFile),
      ui(std::make_unique<MainWindowUi>()),
      xmlFileName(xmlFile),
      pkgFileName(pkgFile),
      timeLeft(env.clock ? env.clock : base::TimeLeft::Clock(base::TimeLeft::SteadyMilliseconds)),
      keyDirectory(QString::fromLatin1(pkg::TrustedKeys::kDefaultDirectory))
{
    InitResources();
    ui->setupUi(this);
    setWindowFlags(Qt::CustomizeWindowHint | Qt::FramelessWindowHint);
    setWindowIcon(QIcon(QStringLiteral("Res/AppIco.ico")));
    ui->lblActivity->clear();
    ui->lblStatus->clear();
    ui->pbUpgrade->setValue(0);

    // Left by an earlier update; must not be taken for this run's.
    if (QFile::exists(environment.installationDataFile))
    {
        QFile::remove(environment.installationDataFile);
    }

    timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setInterval(kStartDelayMs);
    elapsed = QTime(0, 0, 0, 0);

    connect(timer, &QTimer::timeout, this, &MainWindow::OnInstallTimeout);
    connect(&thread, &InstallThread::NewActivityStarted, this, &MainWindow::OnInstallNewActivity);
    connect(&thread, &InstallThread::Done, this, &MainWindow::OnInstallInstallCompleted);
    connect(&thread, &InstallThread::InstallProgressed, this, &MainWindow::OnInstallProgressed);
    connect(&thread, &InstallThread::BytesToProcessCalculated, this,
            &MainWindow::OnInstallBytesToProcessCalculated);
    connect(&thread, &InstallThread::StatusMessageChanged, this, &MainWindow::OnInstallStatusMessageChanged);
    connect(&thread, &InstallThread::ErrorMessageChanged, this, &MainWindow::OnInstallErrorMessageChanged);
}

MainWindow::~MainWindow()
{
    if (cursorHidden)
    {
        QApplication::restoreOverrideCursor();
    }
}

void MainWindow::Start()
{
    show();
    const QBitmap nullCursor(QStringLiteral(":/Res/NullCursor"));
    QApplication::setOverrideCursor(QCursor(nullCursor, nullCursor, -1, -1));
    cursorHidden = true;
    timer->start();
}

void MainWindow::ArmTimer(TimerRole role, int intervalMs)
{
    timer->stop();
    timerRole = role;
    // Only the clock repeats.
    timer->setSingleShot(role != TimerRole::kClock);
    timer->setInterval(intervalMs);
    timer->start();
}

void MainWindow::OnInstallTimeout()
{
    switch (timerRole)
    {
        case TimerRole::kStartDelay:
            ArmTimer(TimerRole::kClock, kClockPeriodMs);
            StartInstallation();
            break;
        case TimerRole::kClock:
            elapsed = elapsed.addSecs(1);
            ui->lblTimeValue->setText(elapsed.toString(QStringLiteral("hh:mm:ss")));
            ui->lblTimeLeft->setText(TimeLeftText::For(timeLeft.SecondsLeft()));
            break;
        case TimerRole::kPowerOffDelay:
            if (powerOffEnabled)
            {
                instrument::CommandRunner& runner = environment.commandRunner != nullptr
                                                        ? *environment.commandRunner
                                                        : instrument::SystemCommandRunner::Instance();
                runner.Run(kPowerOffCommand);
            }
            break;
    }
}

void MainWindow::StartInstallation()
{
    QString pkgFile;
    QString logFile;
    int installFlags = 0;
    if (pkgFileName.isEmpty())
    {
        // The result is not needed: a failed read leaves the names empty, and the empty package path then
        // fails to load and is reported like any unreadable package.
        std::string pkg;
        std::string log;
        ParametersReader& reader = environment.parametersReader != nullptr
                                       ? *environment.parametersReader
                                       : ParametersReaderDefault::Instance();
        reader.getParameters(pkg, log, installFlags);
        pkgFile = QString::fromLatin1(pkg.c_str());
        logFile = QString::fromLatin1(log.c_str());
    }
    else
    {
        pkgFile = pkgFileName;
        logFile = QStringLiteral("001_error.log");
        installFlags = 0;
        qDebug("First SD install:");
    }

    ui->lblActivity->clear();
    ui->lblStatus->clear();

    qDebug() << pkgFile;
    qDebug() << logFile;
    qDebug() << QString::number(static_cast<uint>(installFlags), 16);

    ReadConfigFile();

    // The format parameter is the board's, which the thread looks up.
    install::InstallOptions options;
    options.formatFlag = installFlags & 1;
    options.dateTimeMode = dateTimeMode;
    options.readBackFiles = readBackFiles;
    if (environment.launch)
    {
        environment.launch(pkgFile, logFile, options);
    }
    else
    {
        thread.SetKeyDirectory(keyDirectory);
        if (securityLevelConfigured)
        {
            thread.SetConfiguredSecurityLevel(securityLevel);
        }
        thread.Launch(pkgFile, logFile, options);
    }
}

void MainWindow::ReadConfigFile()
{
    if (QFileInfo(xmlFileName).suffix().toLower() != QLatin1String("xml"))
    {
        qDebug() << tr("config file: invalid extension");
        return;
    }
    if (!QFile::exists(xmlFileName))
    {
        qDebug() << tr("config file: does not exist");
        return;
    }
    QFile file(xmlFileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
    {
        qDebug() << tr("config file: can't open ") + xmlFileName;
        return;
    }
    const QByteArray content = file.readAll();
    const XmlNesting::Where deep = XmlNesting::FirstTooDeep(content);
    if (deep.line != 0)
    {
        qDebug() << tr("config file: elements nested more than %1 levels deep at line %2, column %3")
                        .arg(XmlNesting::kLimit)
                        .arg(deep.line)
                        .arg(deep.column);
        return;
    }
    QDomDocument document;
    QString error;
    int line = 0;
    int column = 0;
    if (!document.setContent(content, false, &error, &line, &column))
    {
        qDebug() << tr("xml file parse error at line ") + QString::number(line) + QStringLiteral(", ") +
                        tr("column ") + QString::number(column) + QStringLiteral(": ") + error;
        return;
    }
    const QDomElement root = document.documentElement();
    if (root.tagName() != QLatin1String("CONFIG"))
    {
        qDebug() << tr("config file: invalid root tag");
        return;
    }
    // The first element of each kind counts.
    bool dateTimeSeen = false;
    bool keyDirectorySeen = false;
    bool securityLevelSeen = false;
    bool readBackSeen = false;
    for (QDomElement element = root.firstChildElement(); !element.isNull();
         element = element.nextSiblingElement())
    {
        if (element.tagName() == QLatin1String("KEY_DIRECTORY") && !keyDirectorySeen)
        {
            keyDirectorySeen = true;
            // An empty element leaves the default: the configuration names where keys are, it does not
            // switch signature checking off.
            if (!element.text().trimmed().isEmpty())
            {
                keyDirectory = element.text().trimmed();
            }
        }
        if (element.tagName() == QLatin1String("SECURITY_LEVEL") && !securityLevelSeen)
        {
            // Taken as written: what is neither 0 nor 1, an empty element included, raises the instrument to
            // level 1 rather than being ignored.
            securityLevelSeen = true;
            securityLevelConfigured = true;
            securityLevel = element.text();
        }
        if (element.tagName() == QLatin1String("READ_BACK_FILES") && !readBackSeen)
        {
            // Only the two words count; anything else leaves the default.
            readBackSeen = true;
            const QString value = element.text().trimmed();
            if (value == QLatin1String("yes"))
                readBackFiles = true;
            else if (value == QLatin1String("no"))
                readBackFiles = false;
        }
        if (element.tagName() != QLatin1String("DATE_TIME") || dateTimeSeen)
        {
            continue;
        }
        dateTimeSeen = true;
        const QString mode = element.text();
        if (mode == QLatin1String("current"))
        {
            dateTimeMode = install::DateTimeMode::kNow;
        }
        else if (mode == QLatin1String("pkg_creation"))
        {
            dateTimeMode = install::DateTimeMode::kPackage;
        }
        else if (mode == QLatin1String("original"))
        {
            dateTimeMode = install::DateTimeMode::kAsExtracted;
        }
    }
}

void MainWindow::OnInstallNewActivity(const QString& message)
{
    QString text = ui->lblActivity->text();
    if (!text.isEmpty())
    {
        text += QStringLiteral("<br>");
    }
    text += message;
    ui->lblActivity->setText(text);
}

void MainWindow::OnInstallInstallCompleted(bool ok)
{
    // The last increments may have been lost in the scaling; a finished run shows a full bar.
    if (ok && progressValue != progressMaximum)
    {
        progressValue = progressMaximum;
        ui->pbUpgrade->setValue(progressMaximum);
    }
    timer->stop();
    ui->lblTimeLeft->setText(TimeLeftText::Outcome(ok));
    ui->lblActivity->setText(
        ok ? tr("<font color=green>SYSTEM UPDATE COMPLETED</font><br><font "
                "color=green>Please turn the instrument off</font>")
           : tr("<font color=red>SYSTEM UPDATE FAILED</font><br><font color=red>Please turn "
                "the instrument off</font>"));
    if (powerOffEnabled)
    {
        // After a failure the text stays on screen: someone has to see it before the power goes.
        if (ok)
        {
            powerOffArmed = true;
            // In 64 bits and clamped: a huge or negative -s value must neither overflow nor disarm the timer.
            const long long delayMs = std::min<long long>(std::max(powerOffTimeout, 0) * 1000LL, INT_MAX);
            ArmTimer(TimerRole::kPowerOffDelay, static_cast<int>(delayMs));
        }
    }
    else if (exitOnCompletion)
    {
        const int status = ok ? 0 : 1;
        if (environment.exitProcess)
        {
            environment.exitProcess(status);
        }
        else
        {
            std::exit(status);
        }
    }
}

void MainWindow::OnInstallBytesToProcessCalculated(qint64 count)
{
    const ProgressScale scale = ProgressScale::ForTotal(count);
    progressDivisor = scale.divisor;
    progressMaximum = scale.maximum;
    timeLeft.Start(count);
    ui->pbUpgrade->setMinimum(0);
    ui->pbUpgrade->setMaximum(progressMaximum);
}

void MainWindow::OnInstallProgressed(qint64 bytes)
{
    ProgressScale scale;
    scale.divisor = progressDivisor;
    scale.maximum = progressMaximum;
    progressValue = scale.ValueFor(bytes);
    timeLeft.Progress(bytes);
    ui->pbUpgrade->setValue(progressValue);
}

void MainWindow::OnInstallStatusMessageChanged(const QString& /*text*/)
{
    // Status lines go to the log only; the screen keeps the activity and the last error.
}

void MainWindow::OnInstallErrorMessageChanged(const QString& text)
{
    QString html = text;
    html.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
    ui->lblStatus->setText(QStringLiteral("<font color=red>") + html + QStringLiteral("</font>"));
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::LanguageChange && ui)
    {
        ui->retranslateUi(this);
    }
}

}  // namespace vex::app
