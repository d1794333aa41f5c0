#pragma once

#include "app/InstallThread.h"
#include "base/TimeLeft.h"

#include <QMainWindow>
#include <QString>
#include <QTime>

#include <functional>
#include <memory>

namespace vex::instrument
{
class CommandRunner;
}
class QEvent;
class QTimer;

namespace vex::app
{
class MainWindowUi;
class ParametersReader;

// The installer's only window: a frameless 800 x 480 screen showing what is being installed, the last error,
// the progress, the elapsed time and an estimate of the time left. It starts the installation on the first
// tick of its timer, and at the end carries out the command line's end-of-run options (stay, exit with a
// status, or power off).
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    static const char* const kInstallationDataFile;
    static const char* const kPowerOffCommand;

    // What the window reaches outside itself. The defaults are the instrument's; tests replace them so that
    // nothing touches the real memory, files or power.
    struct Environment
    {
        ParametersReader* parametersReader = nullptr;        // null: the process-wide on-chip RAM reader
        instrument::CommandRunner* commandRunner = nullptr;  // null: the system shell
        std::function<void(int status)> exitProcess;  // empty: exit() at once, without leaving the event loop
        // Empty: launches the installation thread. Given: called instead, with what the thread would get.
        std::function<void(const QString& pkgFile, const QString& logFile, install::InstallOptions options)>
            launch;
        // Milliseconds on a clock that never goes back, for the estimate of the time left; empty: the
        // process's steady clock.
        base::TimeLeft::Clock clock;
        QString installationDataFile = kInstallationDataFile;
        QString productIdFile = InstallThread::kProductIdFile;
        QString installerCopyFile = InstallThread::kInstallerCopyFile;
    };

    MainWindow(const QString& xmlFile, const QString& pkgFile, QWidget* parent = nullptr);
    MainWindow(const QString& xmlFile, const QString& pkgFile, const Environment& env,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Shows the window, hides the pointer and starts the 250 ms start timer.
    void Start();

    // End-of-run options (-s and -e).
    void SetPowerOffTimeout(int seconds) { powerOffTimeout = seconds; }
    void SetPowerOffEnabled(bool enabled) { powerOffEnabled = enabled; }
    void SetExitOnCompletion(bool enabled) { exitOnCompletion = enabled; }

    // Reads the -x configuration file: how installed files are time-stamped, where the trusted keys are and
    // the security level it asks for. Every problem is a debug message and leaves the settings as they were.
    void ReadConfigFile();

    InstallThread& Thread() { return thread; }
    install::DateTimeMode DateTimeMode() const { return dateTimeMode; }
    // Where the trusted package-signing keys are: "KEY_DIRECTORY" of the configuration file, else the
    // default.
    const QString& KeyDirectory() const { return keyDirectory; }
    // "SECURITY_LEVEL" of the configuration file as written, and whether it has one.
    bool SecurityLevelConfigured() const { return securityLevelConfigured; }
    const QString& SecurityLevel() const { return securityLevel; }
    // READ_BACK_FILES of the configuration file ("yes" or "no"): whether installed files are checked against
    // what the medium returns.
    bool ReadBackFiles() const { return readBackFiles; }
    bool PowerOffArmed() const { return powerOffArmed; }
    const QTimer& Timer() const { return *timer; }

public slots:
    void OnInstallTimeout();
    void OnInstallNewActivity(const QString& message);
    void OnInstallInstallCompleted(bool ok);
    void OnInstallBytesToProcessCalculated(qint64 count);
    void OnInstallProgressed(qint64 bytes);
    void OnInstallStatusMessageChanged(const QString& text);
    void OnInstallErrorMessageChanged(const QString& text);

protected:
    void changeEvent(QEvent* event) override;

private:
    // The one timer plays three roles in turn: the start delay, then the clock while the installation runs,
    // then (after a successful run with power-off enabled) the power-off delay.
    enum class TimerRole
    {
        kStartDelay,
        kClock,
        kPowerOffDelay,
    };
    void ArmTimer(TimerRole role, int intervalMs);
    void StartInstallation();

    Environment environment;
    InstallThread thread;
    std::unique_ptr<MainWindowUi> ui;
    QString xmlFileName;
    QString pkgFileName;
    QTimer* timer = nullptr;
    TimerRole timerRole = TimerRole::kStartDelay;
    QTime elapsed;
    base::TimeLeft timeLeft;
    install::DateTimeMode dateTimeMode = install::DateTimeMode::kNow;
    QString keyDirectory;
    QString securityLevel;
    bool securityLevelConfigured = false;
    bool readBackFiles = install::InstallOptions::kReadBackFilesByDefault;
    int powerOffTimeout = 0;
    bool powerOffEnabled = false;
    bool powerOffArmed = false;
    bool exitOnCompletion = false;
    bool cursorHidden = false;
    double progressDivisor = 1.0;
    int progressMaximum = 0;
    int progressValue = 0;
};

}  // namespace vex::app
