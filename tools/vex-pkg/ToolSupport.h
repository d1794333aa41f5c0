#pragma once

#include "instrument/CommandRunner.h"
#include "pkg/items/IPkgItem.h"

#include <boost/shared_ptr.hpp>

#include <memory>
#include <string>
#include <vector>

namespace vex::pkg
{
class IPkgVerifier;
class PackageChunksLoader;
class PackageIndex;
}  // namespace vex::pkg

namespace vex::tools
{
// Text from a package or a manifest made safe for one line of output: control characters become \xNN, so
// that none can end the line or forge another.
std::string Printable(const std::string& text);

// A private temporary folder, removed with everything in it when the object goes.
class ScratchDir
{
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The engine classes log through the process-wide installation log. While a tap exists that log goes to a
// scratch file, and Take hands back the lines written since the last call, without their time stamps.
class LogTap
{
public:
    LogTap();
    ~LogTap();
    LogTap(const LogTap&) = delete;
    LogTap& operator=(const LogTap&) = delete;

    std::vector<std::string> Take();

private:
    ScratchDir dir_;
    std::string file_;
    size_t consumed_ = 0;
    // A tap made while another is active hands the log back to it when it goes.
    std::string previous_;
    bool previousOpen_ = false;
};

// Runs nothing and reports success: the tool drives engine classes that would otherwise mount partitions or
// run scripts on the machine it runs on.
class InertCommandRunner : public instrument::CommandRunner
{
public:
    int RunRedirected(const std::string& command, Capture capture, const std::string& outputFile) override;
};

// A package opened with the installer's own loader, chain of chunk factories and verifier, and all its items
// in file order. The items' data can be read while this object lives.
class OpenedPackage
{
public:
    using Items = std::vector<boost::shared_ptr<pkg::IPkgItem>>;

    OpenedPackage();
    ~OpenedPackage();
    OpenedPackage(const OpenedPackage&) = delete;
    OpenedPackage& operator=(const OpenedPackage&) = delete;

    // False with the loader's reason in `error` when the package cannot be opened at all. With `index` the
    // package is read as the installer reads one whose signed index it has verified: through the index's
    // checking reader, from the first chunk after the index, so the index and signature chunks are no items.
    bool Open(const std::string& path, std::string& error,
              std::shared_ptr<const pkg::PackageIndex> index = nullptr);
    const Items& items() const { return items_; }

    // Whether the package was opened through its index.
    bool ThroughIndex() const { return throughIndex_; }
    // Through an index: false once a byte read (by the walk or from an item's data) was not the indexed
    // byte, a chunk stood elsewhere than the index puts it, or the walk ended before the index does. Always
    // true otherwise.
    bool Intact() const;
    // When not intact: the loader's or the checking reader's line saying why (no leading spaces).
    std::string IndexProblem();
    // After Open failed: the loader's line saying where and why (no leading spaces); empty when it gave none.
    const std::string& LoadProblem() const { return loadProblem_; }

private:
    std::unique_ptr<pkg::IPkgVerifier> verifier_;
    std::unique_ptr<pkg::PackageChunksLoader> loader_;
    Items items_;
    bool throughIndex_ = false;
    // Through an index the engine's log is tapped for as long as items can be read, because the line that
    // names a damaged block is written at the read that finds it, which may come long after the walk.
    std::unique_ptr<LogTap> tap_;
    std::vector<std::string> logged_;
    std::string loadProblem_;
};

}  // namespace vex::tools
