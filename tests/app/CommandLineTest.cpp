#include "app/CommandLine.h"

#include <QStringList>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vex::app;

namespace
{
QStringList g_messages;

void Collect(QtMsgType, const QMessageLogContext&, const QString& message)
{
    g_messages << message;
}

// Parses `args` (without the program name) as the program would, collecting Qt's debug messages.
CommandLineOptions ParseArgs(std::vector<std::string> args)
{
    args.insert(args.begin(), "vex-pkg-install");
    std::vector<std::vector<char>> storage;
    std::vector<char*> argv;
    for (const std::string& arg : args)
    {
        storage.emplace_back(arg.begin(), arg.end());
        storage.back().push_back('\0');
    }
    for (std::vector<char>& s : storage)
    {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    g_messages.clear();
    QtMessageHandler previous = qInstallMessageHandler(Collect);
    const CommandLineOptions options = CommandLine::Parse(static_cast<int>(args.size()), argv.data());
    qInstallMessageHandler(previous);
    return options;
}

TEST(CommandLine, VersionLine)
{
    EXPECT_EQ(CommandLine::VersionText().toStdString(), "app-v1.44.0 pkg-v4.2.7.30\n");
}

// The help names both versions first, then the usage line, then one line per option, in this order.
TEST(CommandLine, HelpTextNamesTheVersionsAndEveryOption)
{
    const std::string help = CommandLine::HelpText().toStdString();
    const std::vector<std::string> lines = {
        "vex-pkg-install v1.44.0\n",
        "Pkg lib v4.2.7.30.\n",
        "Usage: vex-pkg-install [-x <xml_fname>] [-p <pkg_fname>] [-s <timeout>] [-e] [-v] [-h]\n",
        "   -x: xml config file.\n",
        "   -p: pkg file.\n",
        "       * log file name: 001_error.log\n",
        "   -s: time to wait for auto power-off",
        "   -e: exit from the application when the installation is completed (both success or failure).\n",
        "   -v: displays application version.\n",
        "   -h: displays this help.\n",
    };
    size_t from = 0;
    for (const std::string& line : lines)
    {
        const size_t at = help.find(line, from);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "in:\n" << help;
        from = at + line.size();
    }
    EXPECT_EQ(help.back(), '\n');
}

struct InfoCase
{
    std::vector<std::string> args;
    const char* startsWith;  // empty: the installer starts
};

class CommandLineInfo : public testing::TestWithParam<InfoCase>
{
};

TEST_P(CommandLineInfo, VersionWinsOverHelpAndNeitherStartsTheInstaller)
{
    const QString info = CommandLine::InfoText(ParseArgs(GetParam().args));
    const std::string expected = GetParam().startsWith;
    EXPECT_EQ(info.toStdString().substr(0, expected.size()), expected);
    EXPECT_EQ(info.isEmpty(), expected.empty());
}

INSTANTIATE_TEST_SUITE_P(Options, CommandLineInfo,
                         testing::Values(InfoCase{{"-v"}, "app-v1.44.0 pkg-v4.2.7.30\n"},
                                         InfoCase{{"-h", "-v"}, "app-v1.44.0 pkg-v4.2.7.30\n"},
                                         InfoCase{{"-h"}, "vex-pkg-install v1.44.0\n"}, InfoCase{{}, ""},
                                         InfoCase{{"-p", "a.pkg", "-e"}, ""}));

TEST(CommandLine, FilesTimeoutAndExitAreTakenAndLaterOccurrencesWin)
{
    const CommandLineOptions options = ParseArgs(
        {"-x", "first.xml", "-p", "/emmc/update/a.pkg", "-s", "15", "-e", "-x", "conf.xml", "-s", "30"});
    EXPECT_EQ(options.xmlFileName.toStdString(), "conf.xml");
    EXPECT_EQ(options.pkgFileName.toStdString(), "/emmc/update/a.pkg");
    EXPECT_EQ(options.powerOffTimeout, 30);
    EXPECT_TRUE(options.powerOffEnabled);
    EXPECT_TRUE(options.exitOnCompletion);
    EXPECT_TRUE(g_messages.isEmpty());
}

TEST(CommandLine, TimeoutThatIsNoNumberStillEnablesPowerOffWithNoDelay)
{
    const CommandLineOptions options = ParseArgs({"-s", "abc"});
    EXPECT_TRUE(options.powerOffEnabled);
    EXPECT_EQ(options.powerOffTimeout, 0);
    ASSERT_EQ(g_messages.size(), 1);
    EXPECT_EQ(g_messages[0].toStdString(), "PowerOff timeout not valid: auto-configured 0 seconds");

    // A number that was valid earlier is forgotten too.
    EXPECT_EQ(ParseArgs({"-s", "20", "-s", "12x"}).powerOffTimeout, 0);
}

TEST(CommandLine, IgnoredAndUnknownOptionsDoNotStopTheOthers)
{
    // -q takes an argument and is otherwise ignored; without one, and for an unknown option, getopt
    // complains on standard error and parsing goes on.
    CommandLineOptions options = ParseArgs({"-q", "anything", "-e", "-z", "-p", "b.pkg"});
    EXPECT_TRUE(options.exitOnCompletion);
    EXPECT_EQ(options.pkgFileName.toStdString(), "b.pkg");
    EXPECT_FALSE(options.showHelp);

    options = ParseArgs({"-e", "-q"});
    EXPECT_TRUE(options.exitOnCompletion);
    EXPECT_TRUE(CommandLine::InfoText(options).isEmpty());
}
}  // namespace
