#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>

// Processes events until `spy` has seen `count` signals or `timeoutMs` have passed. Queued connections need
// an application object: one is made the first time none exists. Only for signals that reach this thread:
// a spy records on the emitting thread, so a signal a QThread emits from its run (Done, finished) is
// waited for with QThread::wait before its spy is read or goes.
inline bool WaitForSignals(const QSignalSpy& spy, int count, int timeoutMs = 10000)
{
    if (QCoreApplication::instance() == nullptr)
    {
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
    QElapsedTimer timer;
    timer.start();
    while (spy.count() < count && timer.elapsed() < timeoutMs)
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return spy.count() >= count;
}
