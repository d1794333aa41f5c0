#pragma once

#include "pkg/trust/IPkgVerifier.h"
#include "pkg/trust/PackageIndex.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vex::base
{
class InstallProgressNotifierInterface;
}

namespace vex::tools
{
// A package's signed index as `verify` checks it. With trusted keys the installer's verifier hands over the
// index it vouches for; without, the index is read here the way that verifier reads it, minus the signature,
// so that the content can still be checked against it (which then proves only that the package is as its
// index says, not who made it).
class IndexCheck
{
public:
    // Whether the package starts with the lead-in of a signed index.
    static bool HasIndex(const std::string& path);

    // Reads and parses the index of the package at `path` (its parts as the installer finds them), and
    // checks that it describes this package: the signed length against the parts, a signature chunk after
    // the index, the data start and the stream length. False with one line in `problem` (no leading spaces).
    static bool Load(const std::string& path, std::shared_ptr<const pkg::PackageIndex>& index,
                     std::string& problem);

    // Reads every byte after the index through the installer's checking reader, as an installation would.
    // False with the reader's line (no leading spaces), which names the first chunk and block that differ.
    static bool ReadThrough(const std::string& path, const std::shared_ptr<const pkg::PackageIndex>& index,
                            base::InstallProgressNotifierInterface* progress, std::string& problem);
};

// A verifier that vouches for an index already in hand, so that the installer's loader reads the package
// through the index's checking reader: every chunk where the index puts it, every byte the indexed byte.
class IndexVouch : public pkg::IPkgVerifier
{
public:
    explicit IndexVouch(std::shared_ptr<const pkg::PackageIndex> index) : index_(std::move(index)) {}

    bool verify(pkg::IStreamReader*) override { return index_ != nullptr; }
    int64_t bytesToProcess() override { return 0; }
    int securityLevel() override { return 0; }
    std::shared_ptr<const pkg::PackageIndex> signedIndex() override { return index_; }

private:
    std::shared_ptr<const pkg::PackageIndex> index_;
};

}  // namespace vex::tools
