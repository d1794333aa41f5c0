#include "app/InstallThread.h"

#include "app/InstallProgressNotifier.h"
#include "install/InstallationManager.h"
#include "log/Log.h"
#include "log/LogFileKeeper.h"
#include "pkg/trust/IPkgVerifier.h"
#include "pkg/trust/SecurityLevel0Factory.h"
#include "pkg/trust/SecurityLevel1Factory.h"
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
      keyDirectory(QString::fromLatin1(pkg::TrustedKeys::kDefaultDirectory))
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

    // An instrument that was given trusted keys installs signed packages only; without keys every package
    // is accepted as before.
    const std::string keys = keyDirectory.toStdString();
    pkg::SecurityLevel1Factory signedLevel(keys);
    pkg::SecurityLevelFactory& level = pkg::TrustedKeys::present(keys)
                                           ? static_cast<pkg::SecurityLevelFactory&>(signedLevel)
                                           : pkg::SecurityLevel0Factory::instance();
    std::unique_ptr<pkg::IPkgVerifier> verifier = level.createVerifier(notifier.get());

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

    int result = install::InstallationManager::kPackageFailed;
    {
        install::InstallationManager manager(notifier.get());
        const QByteArray path = pkgFileName.toLatin1();
        result = manager.Install(path.constData(), verifier.get(), runOptions);
    }
    verifier.reset();
    Finish(result == install::InstallationManager::kInstalled);
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
