#pragma once

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <string>

// A fresh directory under the system's temporary folder for one test. It is removed when the test passes
// and kept (its path printed) when the test fails, so that what the code wrote can be inspected.
class TempDir
{
public:
    TempDir()
    {
        boost::system::error_code ec;
        path_ = boost::filesystem::temp_directory_path(ec) /
                boost::filesystem::unique_path("vex-test-%%%%-%%%%-%%%%", ec);
        boost::filesystem::create_directories(path_, ec);
    }
    ~TempDir()
    {
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        if (info != nullptr && info->result() != nullptr && info->result()->Failed())
        {
            std::printf("kept test directory %s\n", path_.string().c_str());
            return;
        }
        boost::system::error_code ec;
        boost::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const boost::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    boost::filesystem::path path_;
};
