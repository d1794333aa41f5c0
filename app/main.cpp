#include "app/CommandLine.h"
#include "app/MainWindow.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    const vex::app::CommandLineOptions options = vex::app::CommandLine::Parse(argc, argv);
    const QString info = vex::app::CommandLine::InfoText(options);
    if (!info.isEmpty())
    {
        std::fputs(info.toLocal8Bit().constData(), stdout);
        return 0;
    }

    QApplication application(argc, argv);
    // Lives until the process ends: the run ends by power-off or exit(), both with the window on screen.
    auto* window = new vex::app::MainWindow(options.xmlFileName, options.pkgFileName);
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
