#include "pkg/trust/PackageAdmission.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <fstream>
#include <string>
#include <vector>

using namespace vex::pkg;

namespace
{
PackageVersion Version(const std::string& text)
{
    PackageVersion version;
    EXPECT_TRUE(PackageVersion::parse(text, version)) << text;
    return version;
}

class PackageAdmissionTest : public ::testing::Test
{
protected:
    std::string list(const std::string& text)
    {
        const std::string path = dir / "compatible";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    TempDir dir;
};

TEST_F(PackageAdmissionTest, TheCompatibilityListIsReadStrictly)
{
    PackageAdmission admission;
    std::string why;
    ASSERT_TRUE(admission.readCompatibleIds(list("VX20A01\n\n  VX30B02 \r\n\nZZ99Z99"), why)) << why;
    EXPECT_EQ((std::vector<std::string>{"VX20A01", "VX30B02", "ZZ99Z99"}), admission.compatibleIds());

    const std::vector<std::pair<std::string, std::string>> bad = {
        {"VX20A01\nVX20A0\n", " line 2 is not a 7-character compatibility ID"},
        {"VX20A011\n", " line 1 is not a 7-character compatibility ID"},
        {"VX2 A01\n", " line 1 is not a 7-character compatibility ID"},
        {"VX20A0\xe9\n", " line 1 is not a 7-character compatibility ID"},
        {"\n \n", " names no compatibility ID"},
    };
    for (const auto& c : bad)
    {
        const std::string path = list(c.first);
        EXPECT_FALSE(admission.readCompatibleIds(path, why)) << c.first;
        EXPECT_EQ(path + c.second, why);
        EXPECT_TRUE(admission.compatibleIds().empty());
    }
    std::string many;
    for (size_t i = 0; i <= PackageAdmission::kMostCompatibleIds; ++i) many += "ABCDEFG\n";
    EXPECT_FALSE(admission.readCompatibleIds(list(many), why));
    EXPECT_NE(why.find(" is one ID too many"), std::string::npos) << why;

    // Missing, a folder, a link, too large, a line too long: not readable as a list.
    namespace fs = boost::filesystem;
    fs::create_directories(dir / "folder");
    fs::create_symlink(list("VX20A01\n"), dir / "link");
    std::ofstream(dir / "huge", std::ios::binary)
        << std::string(PackageAdmission::kLargestCompatibleFile + 1, '\n');
    std::ofstream(dir / "long", std::ios::binary) << std::string(300, 'A');
    for (const char* name : {"missing", "folder", "link", "huge", "long"})
    {
        EXPECT_FALSE(admission.readCompatibleIds(dir / name, why)) << name;
        EXPECT_EQ("no readable compatibility list at " + dir / name, why);
    }
}

// The model and the version, each reported on its own line; every check is made even after one failed.
TEST_F(PackageAdmissionTest, TheRightModelNeverOlder)
{
    PackageAdmission admission;
    admission.setCompatibleIds({"VX20A01"});
    admission.setInstalledVersion(Version("2.1.0"));
    struct Case
    {
        std::vector<std::string> ids;
        const char* version;
        bool admitted;
        std::vector<std::string> details;
    };
    const Case cases[] = {
        {{"VX20A01"},
         "2.1.0",
         true,
         {"    For this instrument: the package names VX20A01", "    Version 2.1.0, installed 2.1.0"}},
        {{"ZZ99Z99", "VX20A01"},
         "2.1.1",
         true,
         {"    For this instrument: the package names ZZ99Z99, VX20A01",
          "    Version 2.1.1, installed 2.1.0"}},
        {{"VX20A01"},
         "3.0.0",
         true,
         {"    For this instrument: the package names VX20A01", "    Version 3.0.0, installed 2.1.0"}},
        {{"VX20A01"},
         "2.0.9",
         false,
         {"    For this instrument: the package names VX20A01",
          "    Version 2.0.9 is older than the installed 2.1.0: an older package is never installed"}},
        {{"ZZ99Z99"},
         "2019.1.0",
         false,
         {"    Not for this instrument: the package is for ZZ99Z99, this instrument is VX20A01",
          "    Version 2019.1.0, installed 2.1.0"}},
    };
    for (const Case& c : cases)
    {
        const PackageVersion version = Version(c.version);
        std::vector<std::string> details;
        EXPECT_EQ(c.admitted, admission.admit(c.ids, &version, details)) << c.version;
        EXPECT_EQ(c.details, details);
    }

    std::vector<std::string> details;
    EXPECT_FALSE(admission.admit({"VX20A01"}, nullptr, details));
    EXPECT_EQ("    The package has no signed version", details.back());
}

TEST_F(PackageAdmissionTest, WithoutAListOrAStateEveryPackageIsRefused)
{
    const PackageVersion version = Version("9.9.9");
    std::vector<std::string> details;
    PackageAdmission neverRead;
    EXPECT_FALSE(neverRead.admit({"VX20A01"}, &version, details));
    EXPECT_EQ("    Not for this instrument: no compatibility list was read, so every package is refused",
              details[0]);

    PackageAdmission missing;
    std::string why;
    EXPECT_FALSE(missing.readCompatibleIds(dir / "compatible", why));
    details.clear();
    EXPECT_FALSE(missing.admit({"VX20A01"}, &version, details));
    EXPECT_EQ("    Not for this instrument: no readable compatibility list at " + dir / "compatible" +
                  ", so every package is refused",
              details[0]);
    // Nothing installed yet: any version is new.
    EXPECT_EQ("    Version 9.9.9, none installed", details[1]);

    PackageAdmission damaged;
    damaged.setCompatibleIds({"VX20A01"});
    damaged.setStateProblem("/emmc/update/state is damaged: it is not a state this installer wrote");
    details.clear();
    EXPECT_FALSE(damaged.admit({"VX20A01"}, &version, details));
    EXPECT_EQ(
        "    The installed version is unknown: /emmc/update/state is damaged: it is not a state this "
        "installer wrote",
        details[1]);
}
}  // namespace
