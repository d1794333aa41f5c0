#pragma once

#include "install/InstallOptions.h"

#include <QMap>
#include <QString>
#include <QThread>

#include <memory>

namespace vex::log
{
class LogFileKeeper;
}

namespace vex::app
{
class InstallProgressNotifier;

// The installation runs on this thread so that the window stays live. The object itself (and its notifier)
// belong to the GUI thread: the engine's reports reach the slots below through queued connections, are summed
// here and relayed to the window, so no data is shared between the threads beyond signal arguments.
class InstallThread : public QThread
{
    Q_OBJECT

public:
    static const char* const kProductIdFile;
    static const char* const kInstallerCopyFile;

    // The two paths are the board's product-identifier file and the installer copy that a launch removes;
    // only tests give others.
    explicit InstallThread(QObject* parent = nullptr, const QString& productIdFile = kProductIdFile,
                           const QString& installerCopyFile = kInstallerCopyFile);
    ~InstallThread() override;

    InstallThread(const InstallThread&) = delete;
    InstallThread& operator=(const InstallThread&) = delete;

    // Stores the run parameters, removes a stale installer copy and starts the run. The options' format
    // parameter is replaced by the board's (FindFormatParameter) when the run starts.
    void Launch(const QString& pkgFile, const QString& logFile, install::InstallOptions options);

    // The notifier the engine reports through (owned by this object).
    InstallProgressNotifier* Notifier() const { return notifier.get(); }

    const QString& ProductId() const { return productId; }
    // The format parameter of this board's product; false for a product that is not known.
    bool FindFormatParameter(int& formatParameter) const;

    const QString& PkgFileName() const { return pkgFileName; }
    const QString& LogFileName() const { return logFileName; }
    // The options of the last Launch, as given.
    const install::InstallOptions& Options() const { return options; }
    qint64 RunningTotal() const { return runningTotal; }

    // Runs "program argument" and waits for it (30 s to start, 30 s to end); true, with its standard output,
    // only when it exits normally with status 0.
    static bool RunCommand(const QString& program, const QString& argument, QString& output);

    // The folder of the trusted package-signing keys. At security level 1 only packages signed by one of them
    // install; when it holds any key file the instrument is at level 1.
    void SetKeyDirectory(const QString& directory) { keyDirectory = directory; }
    const QString& KeyDirectory() const { return keyDirectory; }
    // SECURITY_LEVEL of the configuration file as written (only when it has that element).
    void SetConfiguredSecurityLevel(const QString& text)
    {
        configuredLevel = text;
        levelConfigured = true;
    }
    // Where the security-level file, the instrument's compatibility list and the installer's state are
    // ("/etc/vex-pkg/security-level", "/etc/vex-pkg/compatible", "/emmc/update/vex-pkg-install.state");
    // only tests give others.
    void SetSecurityFiles(const QString& levelFile, const QString& compatibleFile, const QString& stateFile)
    {
        securityLevelFile = levelFile;
        compatibleListFile = compatibleFile;
        installerStateFile = stateFile;
    }

    // The folder the run's numbered log goes to ("/emmc/update/LOG"); only tests give another.
    void SetLogDirectory(const QString& directory) { logDirectory = directory; }

signals:
    void NewActivityStarted(const QString& message);
    void Done(bool ok);
    void BytesToProcessCalculated(qint64 count);
    void InstallProgressed(qint64 total);
    void StatusMessageChanged(const QString& text);
    void ErrorMessageChanged(const QString& text);

public slots:
    void OnPkgBytesProcessed(qint64 nBytes);
    void OnPkgBytesToProcessCalculated(qint64 nTotBytes);
    void OnStatusMessageChanged(const QString& text);
    void OnErrorMessageChanged(const QString& text);

protected:
    void run() override;

private:
    // Files the run's log by its outcome, then tells the window.
    void Finish(bool ok);
    // Decides the security level and runs the installation at it; the engine's result.
    int InstallAtSecurityLevel(const install::InstallOptions& runOptions);

private:
    QString pkgFileName;
    QString logFileName;
    install::InstallOptions options;
    qint64 runningTotal = 0;
    std::unique_ptr<InstallProgressNotifier> notifier;
    QMap<QString, int> productTable;
    QString productId;
    QString installerCopyFile;
    QString logDirectory;
    QString keyDirectory;
    QString configuredLevel;
    bool levelConfigured = false;
    QString securityLevelFile;
    QString compatibleListFile;
    QString installerStateFile;
    std::unique_ptr<log::LogFileKeeper> logKeeper;
};

}  // namespace vex::app
