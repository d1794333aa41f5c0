#include "InstallProgressNotifier.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

namespace
{
TEST(InstallProgressNotifierTest, TurnsEveryCallIntoItsSignal)
{
    InstallProgressNotifier notifier;
    QSignalSpy processed(&notifier, &InstallProgressNotifier::bytesProcessed);
    QSignalSpy total(&notifier, &InstallProgressNotifier::BytesToProcessCalculated);
    QSignalSpy status(&notifier, &InstallProgressNotifier::statusMessageChanged);
    QSignalSpy error(&notifier, &InstallProgressNotifier::errorMessageChanged);

    InstallProgressNotifierInterface& engineSide = notifier;
    engineSide.BytesProcessed(5000000000LL);
    engineSide.BytesToProcess(7LL << 33);
    engineSide.StatusMessage("Fichier \xc3\xa9" "crit");
    engineSide.ErrorMessage("first\nsecond");

    ASSERT_EQ(processed.count(), 1);
    EXPECT_EQ(processed.at(0).at(0).toLongLong(), 5000000000LL);
    ASSERT_EQ(total.count(), 1);
    EXPECT_EQ(total.at(0).at(0).toLongLong(), 7LL << 33);
    ASSERT_EQ(status.count(), 1);
    EXPECT_EQ(status.at(0).at(0).toString(), QString::fromUtf8("Fichier \xc3\xa9" "crit"));
    ASSERT_EQ(error.count(), 1);
    EXPECT_EQ(error.at(0).at(0).toString(), QStringLiteral("first\nsecond"));
}

TEST(InstallProgressNotifierTest, AnswersCastsToTheEngineInterface)
{
    InstallProgressNotifier notifier;
    QObject* object = &notifier;
    EXPECT_EQ(object->qt_metacast("InstallProgressNotifierInterface"),
              static_cast<InstallProgressNotifierInterface*>(&notifier));
    EXPECT_EQ(object->qt_metacast("InstallProgressNotifier"), static_cast<void*>(&notifier));
    EXPECT_EQ(qobject_cast<InstallProgressNotifierInterface*>(object),
              static_cast<InstallProgressNotifierInterface*>(&notifier));
}
}  // namespace
