#include "pkg/items/IPkgItemVisitor.h"

#include "pkg/items/ItemHeader.h"
#include "pkg/items/PkgItemVisitor.h"
#include "pkg/read/IStreamReader.h"
#include "tests/support/ItemClassName.h"
#include "tests/support/TempDir.h"
#include "tests/support/WriteAndLoadPackage.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace vex::pkg;
using namespace vex::pkg::writer;

// Each item must reach exactly the operation for its own class; neighbours in the operation list (and the
// system images, which share one base) are where a copy-and-paste slip would hide.
TEST(IPkgItemVisitorTest, EveryItemReachesTheOperationForItsOwnClass)
{
    struct Case
    {
        const char* name;
        std::function<IPkgItem*()> make;
    };
    const std::vector<Case> cases = {
        {"ItemHeader", [] { return new ItemHeader; }},
        {"ItemUnknown", [] { return new ItemUnknown; }},
        {"ItemInstallerApp", [] { return new ItemInstallerApp; }},
        {"ItemInstallerRootFS", [] { return new ItemInstallerRootFS; }},
        {"ItemInstallerKernel", [] { return new ItemInstallerKernel; }},
        {"ItemInstallerConfig", [] { return new ItemInstallerConfig; }},
        {"ItemLauncherApp", [] { return new ItemLauncherApp; }},
        {"ItemLauncherConfig", [] { return new ItemLauncherConfig; }},
        {"ItemServiceApp", [] { return new ItemServiceApp; }},
        {"ItemServiceConfig", [] { return new ItemServiceConfig; }},
        {"ItemServiceKernel", [] { return new ItemServiceKernel; }},
        {"ItemServiceRootFS", [] { return new ItemServiceRootFS; }},
        {"ItemBootUBoot", [] { return new ItemBootUBoot; }},
        {"ItemBootMLO", [] { return new ItemBootMLO; }},
        {"ItemUserKernel", [] { return new ItemUserKernel; }},
        {"ItemXML", [] { return new ItemXML; }},
        {"ItemScript", [] { return new ItemScript; }},
        {"ItemDir", [] { return new ItemDir; }},
        {"ItemFile", [] { return new ItemFile; }},
        {"ItemLink", [] { return new ItemLink; }},
        {"ItemTar", [] { return new ItemTar; }},
        {"ItemInstallerFile", [] { return new ItemInstallerFile; }},
    };
    for (const Case& c : cases)
    {
        std::unique_ptr<IPkgItem> item(c.make());
        EXPECT_EQ(c.name, ItemClassName::of(item.get()));
    }
}

TEST(IPkgItemVisitorTest, FreshHeaderHasNoAcceptedPackageType)
{
    const ItemHeader header;
    EXPECT_EQ(255u, header.packageType());
    EXPECT_EQ(0, header.versionA() + header.versionB() + header.installMajor() + header.installMinor());
    EXPECT_EQ(0u, header.compatibilityCount());
}

// A pass that relies on the defaults sees each system image read from a package at visitSystem, with the
// chunk type it was stored under, and nothing else there.
TEST(PkgItemVisitorTest, SystemImagesReachVisitSystemWithTheirOwnChunkType)
{
    struct Recorder : PkgItemVisitor
    {
        void visitSystem(ItemSystem& item, uint32_t chunkType) override
        {
            types.push_back(chunkType);
            sizes.push_back(item.dataInfo().reader() != nullptr ? item.dataInfo().reader()->size() : -1);
        }
        std::vector<uint32_t> types;
        std::vector<int64_t> sizes;
    };
    TempDir dir;
    const std::string path = dir / "images.pkg";
    std::vector<uint32_t> written;
    std::vector<int64_t> lengths;
    ASSERT_TRUE(test_support::writePackage(path,
                                           [&](PackageWriter& writer)
                                           {
                                               writer.addHeader(PackageWriter::Header());
                                               for (uint32_t type = PackageFormat::kTypeInstallerKernel;
                                                    type <= PackageFormat::kTypeUserKernel; ++type)
                                               {
                                                   // A length of its own for each, so that a mix-up shows.
                                                   writer.addSystemImage(type,
                                                                         test_support::Bytes(type, 'x'));
                                                   written.push_back(type);
                                                   lengths.push_back(static_cast<int64_t>(type));
                                               }
                                           }));
    test_support::LoadedPackage package(path);
    ASSERT_TRUE(package.loaded());
    Recorder recorder;
    for (const auto& item : package.items()) item->accept(recorder);
    ItemInstallerFile installerFile;
    installerFile.accept(recorder);
    EXPECT_EQ(recorder.types, written);
    EXPECT_EQ(recorder.sizes, lengths);
}
