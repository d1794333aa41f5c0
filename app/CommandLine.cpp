#include "app/CommandLine.h"

#include "pkg/trust/PackageIndex.h"

#include <QDebug>
#include <QStringList>

#include <unistd.h>

namespace vex::app
{
CommandLineOptions CommandLine::Parse(int argc, char** argv)
{
    CommandLineOptions options;
    // 0 rather than 1 makes glibc forget the state of any earlier scan (half-read option clusters).
    optind = 0;
    opterr = 1;
    int option = 0;
    while ((option = ::getopt(argc, argv, kOptionString)) != -1)
    {
        switch (option)
        {
            case 'h':
                options.showHelp = true;
                break;
            case 'v':
                options.showVersion = true;
                break;
            case 'x':
                options.xmlFileName = QString::fromLocal8Bit(optarg);
                break;
            case 'p':
                options.pkgFileName = QString::fromLocal8Bit(optarg);
                break;
            case 's':
            {
                bool ok = false;
                options.powerOffTimeout = QString::fromLocal8Bit(optarg).toInt(&ok, 10);
                if (!ok)
                {
                    qDebug("PowerOff timeout not valid: auto-configured 0 seconds");
                    options.powerOffTimeout = 0;
                }
                options.powerOffEnabled = true;
                break;
            }
            case 'e':
                options.exitOnCompletion = true;
                break;
            default:  // -q, and whatever getopt has already complained about
                break;
        }
    }
    return options;
}

namespace
{
// The package library's version is the one a package's signed index may require: one number for both.
QString PkgLibVersion()
{
    return QString::fromStdString(pkg::InstallerVersion::Current().text());
}
}  // namespace

QString CommandLine::InfoText(const CommandLineOptions& options)
{
    if (options.showVersion)
    {
        return VersionText();
    }
    if (options.showHelp)
    {
        return HelpText();
    }
    return QString();
}

QString CommandLine::VersionText()
{
    return QStringLiteral("app-v") + QLatin1String(kApplicationVersion) + QStringLiteral(" pkg-v") +
           PkgLibVersion() + QLatin1Char('\n');
}

QString CommandLine::HelpText()
{
    return QStringLiteral("vex-pkg-install v") + QLatin1String(kApplicationVersion) +
           QStringLiteral(
               "\n"
               "Completes upgrade process.\n"
               "Pkg lib v") +
           PkgLibVersion() +
           QStringLiteral(
               ".\n"
               "\n"
               "Usage: vex-pkg-install [-x <xml_fname>] [-p <pkg_fname>] [-s <timeout>] [-e] [-v] [-h]\n"
               "\n"
               "Files arguments:\n"
               "   -x: xml config file.\n"
               "   -p: pkg file.\n"
               "       If present OCM_RAM will not be read and the following assumed:\n"
               "       * installFlags = 0\n"
               "       * log file name: 001_error.log\n"
               "   -s: time to wait for auto power-off after system update completed (with success).\n"
               "\n"
               "Options description:\n"
               "   -e: exit from the application when the installation is completed (both success or "
               "failure).\n"
               "       If -s option is passed, -e option is ignored.\n"
               "   -v: displays application version.\n"
               "   -h: displays this help.\n");
}

}  // namespace vex::app
