#include "app/InstallThread.h"

#include "app/InstallProgressNotifier.h"
#include "install/InstallationManager.h"
#include "install/InstallerState.h"
#include "log/Log.h"
#include "log/LogFileKeeper.h"
#include "pkg/trust/IPkgVerifier.h"
#include "pkg/trust/PackageAdmission.h"
#include "pkg/trust/PackageIndex.h"
#include "pkg/trust/SecurityLevel0Factory.h"
#include "pkg/trust/SecurityLevel1Factory.h"
#include "pkg/trust/SecurityPolicy.h"
#include "pkg/trust/TrustedKeys.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

namespace vex::app
{
const char* const InstallThread::kProductIdFile = "/sys/devices/platform/platforminfo/board_product_id";
const char* const InstallThread::kInstallerCopyFile = "/emmc/update/vex-pkg-install";

namespace
{
const int kCommandTimeoutMs = 30000;
// The update procedure may start the installer before the package has been copied into place.
const int kPackageWaitTries = 30;
const unsigned long kPackageWaitStepMs = 1000;
}  // namespace

InstallThread::InstallThread(QObject* parent, const QString& productIdFile, const QString& installerCopy)
    : QThread(parent),
      installerCopyFile(installerCopy),
      logDirectory(QString::fromLatin1(log::LogFileKeeper::kDefaultDirectory)),
      keyDirectory(QString::fromLatin1(pkg::TrustedKeys::kDefaultDirectory)),
      securityLevelFile(QString::fromLatin1(pkg::SecurityPolicy::kDefaultLevelFile)),
      compatibleListFile(QString::fromLatin1(pkg::PackageAdmission::kDefaultCompatibleFile)),
      installerStateFile(
          QString::fromStdString(install::InstallerState::PathIn(install::InstallEnvironment())))
{
    // Boards 0 to 4 keep the original partition layout; 5, 7, 8 and 9 need the formatter's extra parameter.
    // Board 6 was never built with this installer, so it stays unknown on purpose.
    for (const char* id : {"0", "1", "2", "3", "4"})
    {
        productTable.insert(QString::fromLatin1(id), 0);
    }
    for (const char* id : {"5", "7", "8", "9"})
    {
        productTable.insert(QString::fromLatin1(id), 32);
    }

    QString output;
    if (RunCommand(QStringLiteral("cat"), productIdFile, output))
    {
        const int nul = output.indexOf(QChar(0));
        if (nul >= 0)
        {
            output.truncate(nul);
        }
        output.remove(QLatin1Char('\n'));
        productId = output;
    }

    notifier = std::make_unique<InstallProgressNotifier>();
    connect(notifier.get(), &InstallProgressNotifier::bytesProcessed, this,
            &InstallThread::OnPkgBytesProcessed);
    connect(notifier.get(), &InstallProgressNotifier::BytesToProcessCalculated, this,
            &InstallThread::OnPkgBytesToProcessCalculated);
    connect(notifier.get(), &InstallProgressNotifier::statusMessageChanged, this,
            &InstallThread::OnStatusMessageChanged);
    connect(notifier.get(), &InstallProgressNotifier::errorMessageChanged, this,
            &InstallThread::OnErrorMessageChanged);
}

InstallThread::~InstallThread()
{
    // The engine may still be reporting through the notifier: let the run end before it goes.
    wait();
}

void InstallThread::Launch(const QString& pkgFile, const QString& logFile, install::InstallOptions runOptions)
{
    pkgFileName = pkgFile;
    logFileName = logFile;
    options = runOptions;
    if (QFile::exists(installerCopyFile))
    {
        QFile::remove(installerCopyFile);
    }
    start(QThread::HighestPriority);
}

bool InstallThread::FindFormatParameter(int& formatParameter) const
{
    const auto it = productTable.constFind(productId);
    if (it == productTable.constEnd())
    {
        return false;
    }
    formatParameter = it.value();
    return true;
}

bool InstallThread::RunCommand(const QString& program, const QString& argument, QString& output)
{
    // A local process with no parent: the command may be run from a thread other than the one that owns
    // this object, and a QObject cannot have a parent on another thread.
    QProcess process;
    process.start(program, QStringList() << argument, QIODevice::ReadWrite);
    if (!process.waitForStarted(kCommandTimeoutMs))
    {
        return false;
    }
    if (!process.waitForFinished(kCommandTimeoutMs))
    {
        process.kill();
        process.waitForFinished(kCommandTimeoutMs);
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
    {
        return false;
    }
    output = QString::fromLocal8Bit(process.readAllStandardOutput());
    return true;
}

void InstallThread::OnPkgBytesProcessed(qint64 nBytes)
{
    runningTotal += nBytes;
    emit InstallProgressed(runningTotal);
}

void InstallThread::OnPkgBytesToProcessCalculated(qint64 nTotBytes)
{
    emit BytesToProcessCalculated(nTotBytes);
}

void InstallThread::OnStatusMessageChanged(const QString& text)
{
    emit StatusMessageChanged(text);
}

void InstallThread::OnErrorMessageChanged(const QString& text)
{
    emit ErrorMessageChanged(text);
}

void InstallThread::run()
{
    emit NewActivityStarted(tr("UPDATING THE OPERATING SYSTEM"));
    emit NewActivityStarted(tr("Please do not turn the instrument off"));

    QFileInfo package(pkgFileName);
    package.setCaching(false);
    for (int attempt = 0; attempt < kPackageWaitTries && !package.exists(); ++attempt)
    {
        msleep(kPackageWaitStepMs);
    }

    // A log that cannot be opened only loses its lines; the installation itself goes on.
    logKeeper = std::make_unique<log::LogFileKeeper>(logDirectory.toStdString());
    logKeeper->Open(logFileName.toStdString());
    log::Line("-----------------------------------------------------");

    install::InstallOptions runOptions = options;
    if (!FindFormatParameter(runOptions.formatParameter))
    {
        log::Line("Unknown productId !");
        Finish(false);
        return;
    }

    Finish(InstallAtSecurityLevel(runOptions) == install::InstallationManager::kInstalled);
}

int InstallThread::InstallAtSecurityLevel(const install::InstallOptions& runOptions)
{
    // The state is read first: an instrument that once installed a signed package stays at level 1, and one
    // whose state cannot be read is taken to have done so.
    const std::string statePath = installerStateFile.toStdString();
    install::InstallerState state;
    std::string stateProblem;
    const install::InstallerState::Load stateLoad = state.load(statePath, stateProblem);

    pkg::SecurityPolicy::Sources sources;
    sources.levelFile = securityLevelFile.toStdString();
    sources.keyDirectory = keyDirectory.toStdString();
    sources.levelConfigured = levelConfigured;
    sources.configuredLevel = configuredLevel.toStdString();
    sources.latched = stateLoad == install::InstallerState::Load::kLoaded && state.signedInstall;
    if (stateLoad == install::InstallerState::Load::kDamaged)
    {
        sources.stateProblem = statePath + " is damaged (" + stateProblem + ")";
    }
    const pkg::SecurityPolicy::Decision decision = pkg::SecurityPolicy::Decide(sources);

    pkg::SecurityLevel1Factory signedLevel(sources.keyDirectory);
    pkg::SecurityLevelFactory& level = decision.level == 1
                                           ? static_cast<pkg::SecurityLevelFactory&>(signedLevel)
                                           : pkg::SecurityLevel0Factory::instance();
    pkg::PackageAdmission admission;
    if (decision.level == 1)
    {
        std::string reasons;
        for (const std::string& reason : decision.reasons)
        {
            reasons += (reasons.empty() ? "" : ", ") + reason;
        }
        log::Line("Security level 1: " + reasons);
        for (const std::string& problem : decision.problems)
        {
            log::Line(problem);
        }
        std::string why;
        admission.readCompatibleIds(compatibleListFile.toStdString(), why);
        if (stateLoad == install::InstallerState::Load::kDamaged)
        {
            admission.setStateProblem(statePath + " is damaged: " + stateProblem);
        }
        else if (stateLoad == install::InstallerState::Load::kLoaded)
        {
            admission.setInstalledVersion(state.version);
        }
    }

    std::unique_ptr<pkg::IPkgVerifier> verifier = level.createVerifier(notifier.get());
    int result = install::InstallationManager::kPackageFailed;
    {
        install::InstallationManager manager(notifier.get());
        if (decision.level == 1)
        {
            manager.SetAdmission(&admission);
            // What level 1 installed is remembered before the run counts as a success, and before the
            // partitions are unmounted: without it the next run would not know the version to hold later
            // packages to.
            manager.SetRecordInstalled(
                [&verifier, &statePath]
                {
                    const std::shared_ptr<const pkg::PackageIndex> index = verifier->signedIndex();
                    install::InstallerState installed;
                    installed.signedInstall = true;
                    installed.version = index ? index->version() : pkg::PackageVersion();
                    std::string why = "no signed version to record";
                    if (index && installed.save(statePath, install::InstallEnvironment(), why))
                    {
                        return true;
                    }
                    log::Line("Installer state not saved !");
                    log::Line("    " + why);
                    return false;
                });
        }
        const QByteArray path = pkgFileName.toLatin1();
        result = manager.Install(path.constData(), verifier.get(), runOptions);
    }
    return result;
}

void InstallThread::Finish(bool ok)
{
    if (ok)
    {
        log::Line("Update completed sucessfully.");
    }
    // A success whose log cannot be filed as one is reported as a failure, as its log says.
    if (logKeeper)
    {
        ok = logKeeper->Close(ok ? log::LogFileKeeper::kSucceeded : log::LogFileKeeper::kFailed) && ok;
        logKeeper.reset();
    }
    emit Done(ok);
}

}  // namespace vex::app
