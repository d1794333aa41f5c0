#include "log/LogStream.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <fstream>
#include <string>
#include <vector>

using namespace vex::log;

namespace
{

std::vector<std::string> readLines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
    {
        lines.push_back(line);
    }
    return lines;
}

TEST(LogStream, AppendsTimeStampedLinesThatReachTheFileAtOnce)
{
    TempDir dir;
    const std::string path = dir / "001_error.log";
    std::ofstream(path) << "earlier run\n";

    LogStream log;
    ASSERT_TRUE(log.Open(path));
    EXPECT_TRUE(log.WriteLine("first"));
    EXPECT_TRUE(log.WriteLine(std::string("    detail")));
    const std::vector<std::string> lines = readLines(path);  // still open: a crash now must not lose them
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier run");
    const boost::regex stamped("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} - (.*)");
    boost::smatch match;
    ASSERT_TRUE(boost::regex_match(lines[1], match, stamped)) << lines[1];
    EXPECT_EQ(match[1], "first");
    ASSERT_TRUE(boost::regex_match(lines[2], match, stamped)) << lines[2];
    EXPECT_EQ(match[1], "    detail");
}

TEST(LogStream, ClosedLogsWriteNothingAndCanBeReopenedOnTheRememberedPath)
{
    TempDir dir;
    LogStream log;
    EXPECT_FALSE(log.WriteLine("before any open"));
    ASSERT_TRUE(log.Open(dir / "run.log"));
    log.Close();
    EXPECT_FALSE(log.WriteLine("lost"));
    EXPECT_FALSE(log.Open(dir / "missing/run.log"));
    EXPECT_EQ(log.Path(), dir / "run.log");

    ASSERT_TRUE(log.Open(log.Path()));
    log.WriteLine("after");
    log.Close();
    EXPECT_EQ(readLines(dir / "run.log").size(), 1u);
}

TEST(LogStream, RecoversAfterAFailedWrite)
{
    // /dev/full accepts the open and fails every write, as a full log partition would.
    LogStream log;
    if (!log.Open("/dev/full"))
    {
        GTEST_SKIP() << "/dev/full is not available";
    }
    EXPECT_FALSE(log.WriteLine("no room"));
    log.Close();

    TempDir dir;
    ASSERT_TRUE(log.Open(dir / "run.log"));
    EXPECT_TRUE(log.WriteLine("written"));
}

}  // namespace

namespace
{
// Names and list lines come from packages: a control character in one can never start a line of its own.
TEST(LogStream, ControlCharactersAreWrittenEscaped)
{
    struct Case
    {
        std::string message;
        std::string written;
    };
    const std::vector<Case> cases = {
        {"Extracting script a.sh\n2031-01-01 00:00:00 - Update completed sucessfully.",
         "Extracting script a.sh\\n2031-01-01 00:00:00 - Update completed sucessfully."},
        {"cr\rtab\tesc\x1b[2Jdel\x7f", "cr\\rtab\\tesc\\x1b[2Jdel\\x7f"},
        {"    file 'caf\xc3\xa9' kept as UTF-8", "    file 'caf\xc3\xa9' kept as UTF-8"},
        {"back\\slash", "back\\slash"},
    };
    TempDir dir;
    const std::string path = dir / "log";
    LogStream log;
    ASSERT_TRUE(log.Open(path));
    for (const Case& c : cases)
    {
        EXPECT_TRUE(log.WriteLine(c.message));
    }
    log.Close();
    const std::vector<std::string> lines = readLines(path);
    ASSERT_EQ(cases.size(), lines.size());
    for (size_t i = 0; i < cases.size(); ++i)
    {
        EXPECT_EQ(lines[i].substr(lines[i].find(" - ") + 3), cases[i].written) << i;
    }
}
}  // namespace
