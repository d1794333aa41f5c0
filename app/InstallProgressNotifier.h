#pragma once

#include "base/InstallProgressNotifierInterface.h"

#include <QObject>
#include <QString>

// Declared where Qt looks for it: at global scope, under the full name.
Q_DECLARE_INTERFACE(vex::base::InstallProgressNotifierInterface, "InstallProgressNotifierInterface")

namespace vex::app
{
// The engine's progress reports, turned into Qt signals. The object lives on the GUI thread while the engine
// calls it from the installation thread, so every connection to it is queued: the engine never waits for the
// window, and the only data that crosses threads are the copied signal arguments.
class InstallProgressNotifier : public QObject, public base::InstallProgressNotifierInterface
{
    Q_OBJECT
    Q_INTERFACES(vex::base::InstallProgressNotifierInterface)

public:
    InstallProgressNotifier();
    ~InstallProgressNotifier() override;

    void BytesProcessed(long long n) override;
    void StatusMessage(const char* text) override;
    void ErrorMessage(const char* text) override;
    void BytesToProcess(long long total) override;

signals:
    void bytesProcessed(qint64 nBytes);
    void BytesToProcessCalculated(qint64 total);
    void statusMessageChanged(const QString& text);
    void errorMessageChanged(const QString& text);
};

}  // namespace vex::app
