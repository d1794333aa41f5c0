#include "CommandLine.h"
#include "MainWindow.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    const CommandLineOptions options = CommandLine::Parse(argc, argv);
    const QString info = CommandLine::InfoText(options);
    if (!info.isEmpty())
    {
        std::fputs(info.toLocal8Bit().constData(), stdout);
        return 0;
    }

    QApplication application(argc, argv);
    // Lives until the process ends: the run ends by power-off or exit(), both with the window on screen.
    auto* window = new MainWindow(options.xmlFileName, options.pkgFileName);
    if (options.powerOffEnabled)
    {
        window->SetPowerOffTimeout(options.powerOffTimeout);
        window->SetPowerOffEnabled(true);
    }
    if (options.exitOnCompletion)
    {
        window->SetExitOnCompletion(true);
    }
    window->Start();
    return application.exec();
}
