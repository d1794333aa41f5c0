#include "app/InstallProgressNotifier.h"

namespace vex::app
{
InstallProgressNotifier::InstallProgressNotifier() : QObject(nullptr) {}

InstallProgressNotifier::~InstallProgressNotifier() = default;

void InstallProgressNotifier::BytesProcessed(long long n)
{
    emit bytesProcessed(n);
}

void InstallProgressNotifier::StatusMessage(const char* text)
{
    emit statusMessageChanged(QString::fromUtf8(text));
}

void InstallProgressNotifier::ErrorMessage(const char* text)
{
    emit errorMessageChanged(QString::fromUtf8(text));
}

void InstallProgressNotifier::BytesToProcess(long long total)
{
    emit BytesToProcessCalculated(total);
}

}  // namespace vex::app
