#pragma once

// Shared ground of the engine pass tests: a temporary instrument (eMMC root, temporary and script folders),
// the log captured, a scripted shell and partition table, and fakes of the notifier and disk services.

#include "base/InstallProgressNotifierInterface.h"
#include "install/InstallEnvironment.h"
#include "instrument/DiskUtils.h"
#include "instrument/PartitionsManager.h"
#include "instrument/linux/LinuxDiskUtils.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScriptedCommandRunner.h"
#include "tests/support/TempDir.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

class RecordingNotifier : public vex::base::InstallProgressNotifierInterface
{
public:
    void BytesProcessed(long long n) override { processed += n; }
    void StatusMessage(const char* text) override { statuses.push_back(text); }
    void ErrorMessage(const char* text) override { errors.push_back(text); }
    void BytesToProcess(long long total) override { toProcess = total; }

    long long processed = 0;
    long long toProcess = 0;
    std::vector<std::string> statuses;
    std::vector<std::string> errors;
};

// Real links and time stamps below the test's root; FAT attributes and free space are recorded and answered.
class FakeDiskUtils : public vex::instrument::LinuxDiskUtils
{
public:
    explicit FakeDiskUtils(const std::string& root) : vex::instrument::LinuxDiskUtils(root) {}
    bool GetFreeSpace(const std::string& path, long long& bytes) override
    {
        freeSpaceAsked.push_back(path);
        const auto found = freeSpace.find(path);
        if (found == freeSpace.end())
            return false;
        bytes = found->second;
        return true;
    }
    bool SetVfatAttributes(const std::string& path, bool readOnly, bool archive, bool system,
                           bool hidden) override
    {
        vfatCalls.push_back(path + " " +
                            std::to_string(VfatAttributeWord(readOnly, archive, system, hidden)));
        return !failVfat;
    }
    bool SetVfatAttributesOf(int, const std::string& path, bool readOnly, bool archive, bool system,
                             bool hidden) override
    {
        return SetVfatAttributes(path, readOnly, archive, system, hidden);
    }

    std::map<std::string, long long> freeSpace;
    std::vector<std::string> freeSpaceAsked;
    std::vector<std::string> vfatCalls;
    bool failVfat = false;
};

class EngineFixture
{
public:
    EngineFixture()
        : log(dir / "install.log"), partitions(runner, dir / "emmc", dir / "mount.out"), disk(dir / "emmc")
    {
        environment.emmcRoot = dir / "emmc";
        environment.tmpDir = dir / "tmp";
        environment.scriptDir = dir / "tmp/script";
        environment.partitions = &partitions;
        environment.disk = &disk;
        environment.runner = &runner;
        boost::system::error_code ec;
        for (const char* part : {"boot", "service", "update", "kernel", "rootfs", "kelda_sys", "kelda_usr",
                                 "vdl_pcm", "bkp_pcm"})
            boost::filesystem::create_directories(environment.emmcRoot + "/" + part, ec);
        boost::filesystem::create_directories(environment.scriptDir, ec);
    }

    static void WriteFile(const std::string& path, const std::string& text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string ReadFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Logged(const std::string& line)
    {
        const std::vector<std::string> lines = log.Messages();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    TempDir dir;
    LogCapture log;
    ScriptedCommandRunner runner;
    vex::instrument::PartitionsManager partitions;
    FakeDiskUtils disk;
    vex::install::InstallEnvironment environment;
};
