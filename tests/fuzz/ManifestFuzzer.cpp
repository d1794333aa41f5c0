// A package manifest (TOML) as vex-pkg create reads it, beside a few small input files in a scratch folder.
// The reader must give one "FILE:LINE:COLUMN: ..." line or a manifest. A manifest whose inputs all lie in
// that folder is then built into a package: success leaves one, failure leaves one line and nothing behind.
// Inputs elsewhere (absolute paths, "..") are never read: they would be the host's files, not the fuzzer's.

#include "tests/fuzz/FuzzTarget.h"
#include "tools/vex-pkg/Manifest.h"
#include "tools/vex-pkg/PackageCreator.h"

#include <boost/filesystem.hpp>

#include <string>
#include <vector>

using namespace vex::tools;

namespace fs = boost::filesystem;

namespace
{
struct Setup
{
    Setup()
    {
        const std::string script = "#!/bin/sh\nexit 0\n";
        fs::create_directories(inputs + "/tree/deep");
        fs::create_directories(output);
        for (const char* name : {"/pre.sh", "/clean.sh", "/post.sh"})
            fuzz::writeFile(inputs + name, reinterpret_cast<const uint8_t*>(script.data()), script.size());
        const std::string text = "some text\n";
        for (const char* name : {"/a.txt", "/kernel.img", "/tree/b.txt", "/tree/deep/c.txt"})
            fuzz::writeFile(inputs + name, reinterpret_cast<const uint8_t*>(text.data()), text.size());
        fuzz::writeFile(inputs + "/empty", nullptr, 0);
    }
    const std::string inputs = fuzz::scratchDirectory() + "/in";
    const std::string output = fuzz::scratchDirectory() + "/out";
    const std::string manifest = inputs + "/manifest.toml";
};

bool inside(const std::string& folder, const std::string& path)
{
    if (path.empty())
        return true;
    boost::system::error_code ec;
    const std::string resolved = fs::canonical(path, ec).string();
    return !ec && resolved.compare(0, folder.size() + 1, folder + "/") == 0;
}

bool inputsInside(const std::string& folder, const Manifest& manifest)
{
    std::vector<std::string> paths;
    for (const auto& image : manifest.systemImages) paths.push_back(image.source);
    for (const auto& script : manifest.scripts) paths.push_back(script.source);
    for (const auto& file : manifest.files) paths.push_back(file.source);
    for (const auto& tar : manifest.tars)
    {
        paths.push_back(tar.fromDirectory);
        paths.push_back(tar.fromArchive);
        paths.push_back(tar.postTarScript);
    }
    for (const std::string& path : paths)
        if (!inside(folder, path))
            return false;
    return true;
}

void requireOneLine(const std::string& error, const std::string& file)
{
    FUZZ_REQUIRE(!error.empty());
    FUZZ_REQUIRE(error.find('\n') == std::string::npos);
    FUZZ_REQUIRE(error.compare(0, file.size() + 1, file + ":") == 0);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Setup setup;
    static const std::string inputs = fs::canonical(setup.inputs).string();
    FUZZ_REQUIRE(fuzz::writeFile(setup.manifest, data, size));
    Manifest manifest;
    std::string error;
    if (!ManifestReader::Read(setup.manifest, "1718454600", manifest, error))
    {
        requireOneLine(error, setup.manifest);
        return 0;
    }
    if (!inputsInside(inputs, manifest))
        return 0;
    fuzz::emptyDirectory(setup.output);
    const std::string package = setup.output + "/out.pkg";
    if (PackageCreator::Create(manifest, package, 0, nullptr, error))
    {
        FUZZ_REQUIRE(fs::is_regular_file(package));
    }
    else
    {
        requireOneLine(error, setup.manifest);
        FUZZ_REQUIRE(fs::is_empty(setup.output));
    }
    return 0;
}
