#include "app/TimeLeftText.h"

#include <QCoreApplication>
#include <QStringList>

namespace vex::app
{
namespace
{
QString Tr(const char* text)
{
    return QCoreApplication::translate("MainWindow", text);
}
}  // namespace

QString TimeLeftText::For(long long seconds)
{
    if (seconds < 0)
        return QString();
    if (seconds < 60)
        return Tr("Less than a minute left");
    if (seconds > 3600)
        return Tr("More than an hour left");
    // The nearest minute: 89 s is "About 1 min", 90 s "About 2 min".
    return Tr("About %1 min left").arg((seconds + 30) / 60);
}

QString TimeLeftText::Outcome(bool ok)
{
    return ok ? Tr("Update completed") : Tr("Update failed");
}

QStringList TimeLeftText::All()
{
    QStringList texts{For(0), For(3601), Outcome(true), Outcome(false)};
    for (int minutes = 1; minutes <= 60; ++minutes) texts << For(minutes * 60LL);
    return texts;
}

}  // namespace vex::app
