#include "tools/vex-pkg/ToolSupport.h"

#include "log/LogStream.h"
#include "pkg/read/ChunkItemSystemFactory.h"
#include "pkg/read/ChunkItemUnknownFactory.h"
#include "pkg/read/ChunkItemUserFactory.h"
#include "pkg/read/PackageChunksLoader.h"
#include "pkg/trust/IPkgVerifier.h"
#include "pkg/trust/SecurityLevel0Factory.h"
#include "tools/vex-pkg/IndexCheck.h"

#include <boost/filesystem.hpp>

#include <cstdio>
#include <fstream>

namespace vex::tools
{
namespace fs = boost::filesystem;

namespace
{
// A package has at most 999 parts ("...001" to "...999"), and a walk that handed out more items than a
// package of 2 GiB parts could hold chunks for would be going round in circles.
constexpr size_t kItemLimit = 50000000;
}  // namespace

std::string Printable(const std::string& text)
{
    std::string out;
    for (const unsigned char c : text)
    {
        if (c < 0x20 || c == 0x7f)
        {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
        else
        {
            out += static_cast<char>(c);
        }
    }
    return out;
}

ScratchDir::ScratchDir()
{
    boost::system::error_code ec;
    const fs::path path = fs::temp_directory_path(ec) / fs::unique_path("vex-pkg-%%%%-%%%%-%%%%", ec);
    if (!ec && fs::create_directories(path, ec) && !ec)
        path_ = path.string();
}

ScratchDir::~ScratchDir()
{
    if (!path_.empty())
    {
        boost::system::error_code ec;
        fs::remove_all(path_, ec);
    }
}

LogTap::LogTap()
    : file_(dir_.ok() ? dir_.path() + "/engine.log" : std::string("/dev/null")),
      previous_(log::LogStream::Instance().Path()),
      previousOpen_(log::LogStream::Instance().IsOpen())
{
    log::LogStream::Instance().Open(file_);
}

LogTap::~LogTap()
{
    log::LogStream::Instance().Close();
    if (previousOpen_)
        log::LogStream::Instance().Open(previous_);
}

std::vector<std::string> LogTap::Take()
{
    log::LogStream::Instance().Close();
    std::vector<std::string> lines;
    std::ifstream in(file_);
    std::string line;
    size_t index = 0;
    while (std::getline(in, line))
    {
        if (index++ < consumed_)
            continue;
        const std::string::size_type dash = line.find(" - ");
        lines.push_back(dash == std::string::npos ? line : line.substr(dash + 3));
    }
    consumed_ = index;
    log::LogStream::Instance().Open(file_);
    return lines;
}

int InertCommandRunner::RunRedirected(const std::string&, Capture, const std::string& outputFile)
{
    // An empty output file: a mount table that lists nothing, a script that printed nothing.
    std::ofstream touch(outputFile, std::ios::trunc);
    return 0;
}

OpenedPackage::OpenedPackage() = default;

OpenedPackage::~OpenedPackage()
{
    items_.clear();
    loader_.reset();
    tap_.reset();
}

bool OpenedPackage::Open(const std::string& path, std::string& error,
                         std::shared_ptr<const pkg::PackageIndex> index)
{
    items_.clear();
    loader_.reset();
    tap_.reset();
    logged_.clear();
    loadProblem_.clear();
    pkg::ChunkItemFactory* chain = new pkg::ChunkItemSystemFactory;
    chain->append(new pkg::ChunkItemUserFactory);
    chain->append(new pkg::ChunkItemUnknownFactory);
    loader_.reset(new pkg::PackageChunksLoader(chain));
    throughIndex_ = index != nullptr;
    if (throughIndex_)
        verifier_.reset(new IndexVouch(std::move(index)));
    else
        verifier_ = pkg::SecurityLevel0Factory::instance().createVerifier(nullptr);
    tap_.reset(new LogTap);
    if (!loader_->load(path, verifier_.get()))
    {
        const std::vector<std::string> lines = tap_->Take();
        tap_.reset();
        error = lines.empty() ? "cannot open " + path : lines.back();
        for (const std::string& line : lines)
            if (line.find_first_not_of(' ') == 4)
                loadProblem_ = line.substr(4);
        return false;
    }
    logged_ = tap_->Take();
    while (items_.size() < kItemLimit && loader_->hasNext()) items_.push_back(loader_->next());
    if (!throughIndex_)
        tap_.reset();
    return true;
}

bool OpenedPackage::Intact() const
{
    return !throughIndex_ || (loader_ && loader_->packageUnchanged());
}

std::string OpenedPackage::IndexProblem()
{
    if (Intact())
        return std::string();
    if (tap_)
        for (std::string& line : tap_->Take()) logged_.push_back(std::move(line));
    // The first detail line since the package was opened is the one that broke it: the checking reader and
    // the walk stop at their first failure, and everything logged after it follows from it.
    for (const std::string& line : logged_)
    {
        const std::string::size_type text = line.find_first_not_of(' ');
        if (text == 4)
            return line.substr(text);
    }
    return "the package walk broke off";
}

}  // namespace vex::tools
