#include "pkg/trust/SecurityPolicy.h"

#include "pkg/trust/SecurityLevel1Factory.h"
#include "tests/support/SignedPackages.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <fstream>
#include <functional>
#include <string>

using namespace vex::pkg;
using namespace test_support;

namespace
{
namespace fs = boost::filesystem;

class SecurityPolicyTest : public ::testing::Test
{
protected:
    SecurityPolicy::Sources sources()
    {
        SecurityPolicy::Sources s;
        s.levelFile = dir / "security-level";
        s.keyDirectory = dir / "keys";
        return s;
    }
    void write(const std::string& path, const std::string& text)
    {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }

    TempDir dir;
};

TEST_F(SecurityPolicyTest, NothingSaidIsLevelZero)
{
    const SecurityPolicy::Decision decision = SecurityPolicy::Decide(sources());
    EXPECT_EQ(0, decision.level);
    EXPECT_TRUE(decision.reasons.empty());
    EXPECT_TRUE(decision.problems.empty());
    // Saying 0 everywhere changes nothing.
    SecurityPolicy::Sources zero = sources();
    write(zero.levelFile, "0\n");
    zero.levelConfigured = true;
    zero.configuredLevel = " 0 ";
    EXPECT_EQ(0, SecurityPolicy::Decide(zero).level);
}

// Each source alone is enough for level 1, and a 0 elsewhere never lowers it.
TEST_F(SecurityPolicyTest, AnySourceSayingOneRaisesTheLevel)
{
    const std::vector<std::pair<std::string, std::function<void(SecurityPolicy::Sources&)>>> cases = {
        {"the security-level file says 1", [&](SecurityPolicy::Sources& s) { write(s.levelFile, "1\n"); }},
        {"the configuration says 1",
         [&](SecurityPolicy::Sources& s)
         {
             write(s.levelFile, "0");
             s.levelConfigured = true;
             s.configuredLevel = "1";
         }},
        {"a signed package was installed before", [](SecurityPolicy::Sources& s) { s.latched = true; }},
        {"the installer's state cannot be read", [](SecurityPolicy::Sources& s) { s.stateProblem = "x"; }},
        // Today's rule stays the floor: a key file, even a dangling link, means level 1.
        {"trusted keys are present",
         [&](SecurityPolicy::Sources& s) { write(s.keyDirectory + "/a.pem", "x"); }},
        {"trusted keys are present",
         [&](SecurityPolicy::Sources& s)
         {
             fs::create_directories(s.keyDirectory);
             fs::create_symlink(dir / "nowhere", s.keyDirectory + "/gone.pem");
         }},
    };
    for (const auto& c : cases)
    {
        TempDir scratch;
        SecurityPolicy::Sources s;
        s.levelFile = scratch / "security-level";
        s.keyDirectory = scratch / "keys";
        c.second(s);
        const SecurityPolicy::Decision decision = SecurityPolicy::Decide(s);
        EXPECT_EQ(1, decision.level) << c.first;
        ASSERT_EQ(1u, decision.reasons.size()) << c.first;
        EXPECT_EQ(c.first, decision.reasons[0]);
        EXPECT_EQ(s.stateProblem.empty(), decision.problems.empty()) << c.first;
    }
}

// What cannot be understood is taken as level 1, with a line saying so.
TEST_F(SecurityPolicyTest, AnUnreadableOrGarbledLevelFailsClosed)
{
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> cases = {
        {"holds neither 0 nor 1", [&](const std::string& p) { write(p, "2\n"); }},
        {"holds neither 0 nor 1", [&](const std::string& p) { write(p, ""); }},
        {"holds neither 0 nor 1", [&](const std::string& p) { write(p, "0 1\n"); }},
        {"holds neither 0 nor 1", [&](const std::string& p) { write(p, "off"); }},
        {"cannot be read as a regular file", [&](const std::string& p) { write(p, std::string(5000, '0')); }},
        {"cannot be read as a regular file", [](const std::string& p) { fs::create_directories(p); }},
        {"cannot be read as a regular file",
         [&](const std::string& p)
         {
             write(dir / "zero", "0");
             fs::create_symlink(dir / "zero", p);
         }},
    };
    for (const auto& c : cases)
    {
        SecurityPolicy::Sources s = sources();
        fs::remove_all(s.levelFile);
        c.second(s.levelFile);
        const SecurityPolicy::Decision decision = SecurityPolicy::Decide(s);
        EXPECT_EQ(1, decision.level) << c.first;
        ASSERT_EQ(1u, decision.problems.size()) << c.first;
        EXPECT_EQ("    " + s.levelFile + " " + c.first + ": taken as security level 1", decision.problems[0]);
    }

    SecurityPolicy::Sources configured = sources();
    fs::remove_all(configured.levelFile);
    configured.levelConfigured = true;
    for (const char* text : {"", "  ", "one", "01", "-1"})
    {
        configured.configuredLevel = text;
        const SecurityPolicy::Decision decision = SecurityPolicy::Decide(configured);
        EXPECT_EQ(1, decision.level) << '"' << text << '"';
        ASSERT_EQ(1u, decision.problems.size());
        EXPECT_EQ("    SECURITY_LEVEL of the configuration holds neither 0 nor 1: taken as security level 1",
                  decision.problems[0]);
    }
}

// At level 1 every state of the key folder without a usable key refuses a signed package: a missing, empty
// or unreadable folder, keys under the wrong names or in a subfolder, a private key, a dangling link.
TEST_F(SecurityPolicyTest, EveryKeyFolderWithoutAUsableKeyRefusesAtLevelOne)
{
    makeKeyPair(dir / "dev.key", dir / "dev.pem");
    const std::string package = dir / "signed.pkg";
    ASSERT_TRUE(writeSamplePackage(package));
    std::string error;
    ASSERT_TRUE(writer::PackageSigner::sign(package, dir / "dev.key", error)) << error;

    const std::string keys = dir / "keys";
    const auto folderWith = [&](const std::string& from, const std::string& name)
    {
        return [&, from, name]
        {
            fs::create_directories(fs::path(keys + "/" + name).parent_path());
            fs::copy_file(from, keys + "/" + name);
        };
    };
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"the folder does not exist", [] {}},
        {"the folder does not exist", [&] { fs::create_symlink(dir / "nowhere", keys); }},
        {"it holds no *.pem file", [&] { fs::create_directories(keys); }},
        {"it holds no *.pem file", folderWith(dir / "dev.pem", "release.PEM")},
        {"it holds no *.pem file", folderWith(dir / "dev.pem", "release.pem.txt")},
        {"it holds no *.pem file", folderWith(dir / "dev.key", "dev.key")},
        {"it holds no *.pem file", folderWith(dir / "dev.pem", "sub/dev.pem")},
        {"its one *.pem file is not an Ed25519 public key", folderWith(dir / "dev.key", "dev.pem")},
        {"its one *.pem file is not an Ed25519 public key",
         [&]
         {
             fs::create_directories(keys);
             fs::create_symlink(dir / "nowhere.pem", keys + "/dev.pem");
         }},
    };
    for (const auto& c : cases)
    {
        fs::remove_all(keys);
        c.second();
        SecurityPolicy::Sources s = sources();
        s.latched = true;
        ASSERT_EQ(1, SecurityPolicy::Decide(s).level);
        SecurityLevel1Factory level(keys);
        const std::unique_ptr<IPkgVerifier> verifier = level.createVerifier(nullptr);
        MultipleFileReader reader;
        ASSERT_TRUE(reader.addFile(package));
        EXPECT_FALSE(verifier->verify(&reader)) << c.first;
        EXPECT_EQ("    No usable key in " + keys + ": " + c.first, verifier->resultDetail());
    }
}

}  // namespace
