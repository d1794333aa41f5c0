#include "install/InstallOptions.h"
#include "install/ItemUserInstaller.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/ItemTar.h"
#include "tar/TarExtractor.h"
#include "tar/TarExtractorFactory.h"
#include "tests/install/EngineTestFakes.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <string>
#include <vector>

using namespace vex::install;
using vex::tar::TarExtractor;

namespace
{
// Records how the installer sets up the extractor of a tar item; extracts nothing.
class RecordingExtractor : public TarExtractor
{
public:
    struct Record
    {
        bool modeSet = false;
        TarExtractor::DateTimeMode mode = TarExtractor::DateTimeMode::kNow;
        std::string dateTime;
    };

    RecordingExtractor(vex::instrument::DiskUtils& diskUtils, vex::instrument::CommandRunner& commandRunner,
                       Record& record)
        : TarExtractor(diskUtils, commandRunner), record_(record)
    {
    }
    void SetDateTimeMode(DateTimeMode mode) override
    {
        record_.modeSet = true;
        record_.mode = mode;
    }
    void SetDateTime(const std::string& date, const std::string& time) override
    {
        record_.dateTime = date + " " + time;
    }
    bool ExtractAndVerify(vex::pkg::ItemTar*, const std::string&) override { return true; }
    bool StreamExtract(vex::pkg::ItemTar*, const std::string&, const std::vector<std::string>&) override
    {
        return true;
    }

private:
    Record& record_;
};

class RecordingFactory : public vex::tar::TarExtractorFactory
{
public:
    RecordingFactory(vex::instrument::DiskUtils& disk, vex::instrument::CommandRunner& runner)
        : disk_(disk), runner_(runner)
    {
    }
    TarExtractor* Create() override { return new RecordingExtractor(disk_, runner_, record); }
    RecordingExtractor::Record record;

private:
    vex::instrument::DiskUtils& disk_;
    vex::instrument::CommandRunner& runner_;
};

struct ModeCase
{
    DateTimeMode mode;
    TarExtractor::DateTimeMode tarMode;
    std::string dateTime;  // handed to the extractor: the package's, for the package mode only
};

class InstallOptionsTest : public testing::TestWithParam<ModeCase>, public EngineFixture
{
};

// The tar extractor keeps a mode type of its own; each of the engine's modes has to arrive as its twin.
TEST_P(InstallOptionsTest, TheDateTimeModeReachesTheTarExtractorAsTheSameMode)
{
    RecordingFactory factory(disk, runner);
    environment.tarFactory = &factory;
    boost::filesystem::create_directories(environment.emmcRoot + "/rootfs/opt");
    InstallOptions options;
    options.dateTimeMode = GetParam().mode;
    ItemUserInstaller installer(nullptr, options, environment);

    vex::pkg::ItemHeader header;
    header.setCreationDate("03/04/2021");
    header.setCreationTime("05.06");
    header.accept(installer);
    vex::pkg::ItemTar tar;
    tar.setDestination("/rootfs/opt/data.tar");
    tar.accept(installer);

    EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError);
    EXPECT_TRUE(factory.record.modeSet);
    EXPECT_EQ(factory.record.mode, GetParam().tarMode);
    EXPECT_EQ(factory.record.dateTime, GetParam().dateTime);
}

INSTANTIATE_TEST_SUITE_P(Modes, InstallOptionsTest,
                         testing::Values(ModeCase{DateTimeMode::kNow, TarExtractor::DateTimeMode::kNow, ""},
                                         ModeCase{DateTimeMode::kPackage,
                                                  TarExtractor::DateTimeMode::kPackage, "03/04/2021 05.06"},
                                         ModeCase{DateTimeMode::kAsExtracted,
                                                  TarExtractor::DateTimeMode::kAsExtracted, ""}));

}  // namespace
