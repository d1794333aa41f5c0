#include "tools/vex-pkg/PackageChecker.h"

#include "base/ByteOrder.h"
#include "base/InstallProgressNotifierInterface.h"
#include "install/PackageComplianceChecker.h"
#include "pkg/decode/FileStrategy.h"
#include "pkg/decode/ProcessingStrategy.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemScript.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/items/ItemTar.h"
#include "pkg/items/ItemUnknown.h"
#include "pkg/items/PkgItemVisitor.h"
#include "pkg/read/MultipleFileReader.h"
#include "pkg/read/PackageFormat.h"
#include "pkg/read/PackageParts.h"
#include "tools/vex-pkg/IndexCheck.h"
#include "tools/vex-pkg/ItemDecoder.h"
#include "tools/vex-pkg/ItemDescription.h"
#include "tools/vex-pkg/ItemKinds.h"
#include "tools/vex-pkg/PackageSignature.h"
#include "tools/vex-pkg/ProgressBar.h"
#include "tools/vex-pkg/TarContentChecker.h"
#include "tools/vex-pkg/ToolSupport.h"

#include <algorithm>

namespace vex::tools
{
namespace
{
// Decodes each item's data and compares it with what the package recorded.
class DataChecker : public pkg::PkgItemVisitor
{
public:
    DataChecker(base::InstallProgressNotifierInterface* progress, std::vector<std::string>& problems)
        : progress_(progress), problems_(problems)
    {
    }

    void Check(pkg::IPkgItem& item)
    {
        name_ = ItemDescription::Of(item).Name();
        item.accept(*this);
    }

    void visit(pkg::ItemUnknown& item) override
    {
        Problem("a chunk of unknown type, or one whose fields could not be read (" +
                std::to_string(item.dataInfo().reader() ? item.dataInfo().reader()->size() : 0) + " bytes)");
    }
    void visit(pkg::ItemHeader& item) override { packageType_ = item.packageType(); }
    void visit(pkg::ItemScript& item) override { Plain(item.dataInfo()); }
    void visitSystem(pkg::ItemSystem& item, uint32_t) override { Plain(item.dataInfo()); }
    void visit(pkg::ItemFile& item) override
    {
        ItemKinds::Encoding encoding;
        if (!ItemKinds::EncodingOf(item.compression(), item.cipherType(), encoding))
        {
            Problem("encoding " + std::to_string(item.compression()) + "/" +
                    std::to_string(item.cipherType()) + " is not one the installer can decode");
            return;
        }
        std::unique_ptr<pkg::ProcessingStrategy> strategy = pkg::StrategyFor(item);
        int64_t produced = 0;
        if (Decode(item.dataInfo(), *strategy, produced) &&
            produced != static_cast<int64_t>(item.installedSize()))
            Problem("decodes to " + std::to_string(produced) + " bytes, the package records " +
                    std::to_string(item.installedSize()));
    }
    void visit(pkg::ItemTar& item) override
    {
        std::string digest;
        for (const std::string& problem : TarContentChecker::Check(item, packageType_, progress_, digest))
            Problem(problem);
        const pkg::DataInfo::Digest& recorded = item.dataInfo().digest();
        // Packages from other tools may leave the field empty; the lists inside are what the installer
        // checks.
        const bool unset = std::all_of(recorded.begin(), recorded.end(), [](uint8_t b) { return b == 0; });
        if (!digest.empty() && !unset && digest != ItemDecoder::Hex(recorded.data(), recorded.size()))
            Problem("MD5 of the archive differs from the recorded one");
    }

private:
    void Problem(const std::string& text) { problems_.push_back(name_ + ": " + text); }

    bool Decode(const pkg::DataInfo& data, pkg::ProcessingStrategy& strategy, int64_t& produced)
    {
        std::string digest;
        switch (ItemDecoder::Digest(data, strategy, progress_, produced, digest))
        {
            case ItemDecoder::kNoData:
                Problem("its data lies beyond the end of the package");
                return false;
            case ItemDecoder::kDecodeError:
                Problem("its data cannot be decoded");
                return false;
            default:
                break;
        }
        if (digest != ItemDecoder::Hex(data.digest().data(), data.digest().size()))
        {
            Problem("MD5 mismatch (recorded " + ItemDecoder::Hex(data.digest().data(), data.digest().size()) +
                    ", data " + digest + ")");
            return false;
        }
        return true;
    }

    void Plain(pkg::DataInfo& data)
    {
        std::unique_ptr<pkg::ProcessingStrategy> strategy = pkg::PlainStrategy();
        int64_t produced = 0;
        Decode(data, *strategy, produced);
    }

    base::InstallProgressNotifierInterface* progress_;
    std::vector<std::string>& problems_;
    uint32_t packageType_ = pkg::ItemHeader::kNoPackageType;  // until the header is seen
    std::string name_;
};

// The installer's compliance checker, walked as the installation's first pass walks it: up to the first
// error, then the final verdict.
void CheckCompliance(const OpenedPackage& package, std::vector<std::string>& problems)
{
    LogTap tap;
    install::PackageComplianceChecker checker;
    std::string failedItem;
    for (const auto& item : package.items())
    {
        if (!item)
            continue;
        item->accept(checker);
        if (checker.GetErrorCode() != install::PackageComplianceChecker::ErrorCode::kNoError)
        {
            failedItem = ItemDescription::Of(*item).Name();
            break;
        }
    }
    if (checker.GetErrorCode() == install::PackageComplianceChecker::ErrorCode::kNoError)
        checker.CheckCompliance();
    if (checker.GetErrorCode() == install::PackageComplianceChecker::ErrorCode::kNoError)
        return;
    const std::vector<std::string> lines = tap.Take();
    std::string why = lines.empty() ? "no package header" : lines.back();
    if (checker.GetErrorCode() == install::PackageComplianceChecker::ErrorCode::kKindsNotAllowed)
        why +=
            " (the package type does not allow one of its item kinds, or a USER package lacks pre.sh, "
            "clean.sh or post.sh)";
    problems.push_back((failedItem.empty() ? std::string("package") : failedItem) + ": " + why);
}

// The items' data and the type's rules. A package read through its index hands out only the indexed bytes;
// a block that reads differently this time than in the pass over the whole stream ends the package there,
// and that is the one problem said about it (everything after it would only repeat it).
void CheckItems(OpenedPackage& package, const PackageSignature& signature, ProgressBar* progress,
                std::vector<std::string>& problems)
{
    if (package.ThroughIndex() && !package.Intact())
    {
        problems.push_back("index: " + package.IndexProblem());
        return;
    }
    DataChecker data(progress, problems);
    for (size_t i = 0; i < package.items().size(); ++i)
        if (package.items()[i] && !signature.IsSignatureItem(package, i))
            data.Check(*package.items()[i]);
    if (!package.Intact())
    {
        problems.push_back("index: " + package.IndexProblem());
        return;
    }
    CheckCompliance(package, problems);
}

// One run of `verify`; the problems, the index line and the signature line are what it prints.
struct Verification
{
    const std::string& path;
    const std::string& keyDirectory;
    ProgressBar* progress;
    std::vector<std::string>& problems;
    std::string& indexLine;
    std::string& signatureLine;

    void Run()
    {
        if (IndexCheck::HasIndex(path))
            RunIndexed();
        else
            RunPlain();
    }

    // An unsigned package, or one signed the old way: read as it stands.
    void RunPlain()
    {
        OpenedPackage package;
        PackageSignature signature;
        std::string error;
        if (!package.Open(path, error))
        {
            problems.push_back("package: " + error);
            // The framing says where a damaged stream goes wrong, in the tool's words; else the loader's
            // line.
            int64_t streamSize = 0;
            size_t chunks = 0;
            const std::vector<std::string> framing =
                PackageChecker::CheckFraming(pkg::PackageParts::partPaths(path), streamSize, chunks);
            problems.insert(problems.end(), framing.begin(), framing.end());
            if (framing.empty() && !package.LoadProblem().empty())
                problems.push_back("package: " + package.LoadProblem());
            return;
        }
        if (!signature.Inspect(path, error))
        {
            problems.push_back("package: " + error);
            return;
        }
        int64_t streamSize = 0;
        size_t chunks = 0;
        problems = PackageChecker::CheckFraming(pkg::PackageParts::partPaths(path), streamSize, chunks);
        if (progress != nullptr)
            progress->BytesToProcess(streamSize);
        CheckItems(package, signature, progress, problems);
        SignatureLines(signature, false);
    }

    // A package with a signed index: the index (by the installer's verifier with --keys, else read without
    // a key), then every byte after it through the checking reader, then the items through it.
    void RunIndexed()
    {
        PackageSignature signature;
        std::string error;
        if (!signature.Inspect(path, error))
        {
            problems.push_back("package: " + error);
            return;
        }
        int64_t streamSize = 0;
        size_t chunks = 0;
        problems = PackageChecker::CheckFraming(pkg::PackageParts::partPaths(path), streamSize, chunks);
        if (progress != nullptr)
            progress->BytesToProcess(2 * streamSize);

        std::shared_ptr<const pkg::PackageIndex> index;
        std::string detail;
        bool verified = false;
        if (!keyDirectory.empty())
        {
            verified = PackageSignature::Check(path, keyDirectory, progress, detail, index);
            if (!verified)
                problems.push_back("signature: " + detail);
        }
        // Without a key, or refused by it, the index still says what every block should hold: checked against
        // it, the content is shown sound or damaged, only not who vouches for it.
        std::string problem;
        // A refusal for the lead-in or the index itself is the verifier's line already: said once.
        if (!verified && !IndexCheck::Load(path, index, problem) && problem != detail)
            problems.push_back("index: " + problem);
        if (index != nullptr)
        {
            if (!IndexCheck::ReadThrough(path, index, progress, problem))
            {
                problems.push_back("index: " + problem);
            }
            else
            {
                OpenedPackage package;
                if (!package.Open(path, error, index))
                    problems.push_back("package: " + error);
                else
                    CheckItems(package, signature, progress, problems);
                if (package.Intact())
                    indexLine = IndexSummary(*index, verified);
            }
        }
        SignatureLines(signature, verified);
    }

    std::string IndexSummary(const pkg::PackageIndex& index, bool verified) const
    {
        size_t blocks = 0;
        for (const pkg::PackageIndex::Chunk& chunk : index.chunks()) blocks += chunk.blocks;
        return "index: " + std::to_string(index.chunks().size()) + " chunks in " + std::to_string(blocks) +
               " blocks, every block " +
               (verified ? std::string("as signed")
                         : std::string("as the index says (not authenticated: ") +
                               (keyDirectory.empty() ? "no --keys)" : "the signature was refused)"));
    }

    // `verified`: the verifier already accepted the package's index (a refusal of one is already a problem).
    void SignatureLines(const PackageSignature& signature, bool verified)
    {
        if (keyDirectory.empty())
        {
            signatureLine = "signature: " + signature.Description() +
                            (signature.Signed() ? " (not checked: no --keys)" : "");
            return;
        }
        if (verified)
        {
            signatureLine =
                "signature: " + signature.Description() + ", verified with the keys of " + keyDirectory;
            return;
        }
        if (!signature.HasIndexLeadIn())
        {
            std::string detail;
            std::shared_ptr<const pkg::PackageIndex> none;
            if (PackageSignature::Check(path, keyDirectory, progress, detail, none))
                signatureLine =
                    "signature: " + signature.Description() + ", verified with the keys of " + keyDirectory;
            else
                problems.push_back("signature: " + detail);
        }
    }
};
}  // namespace

std::vector<std::string> PackageChecker::CheckFraming(const std::vector<std::string>& parts,
                                                      int64_t& streamSize, size_t& chunkCount)
{
    std::vector<std::string> problems;
    chunkCount = 0;
    pkg::MultipleFileReader reader;
    for (const std::string& part : parts)
    {
        if (!reader.addFile(part))
        {
            problems.push_back("package: part " + part + " cannot be read");
            return problems;
        }
    }
    const int64_t total = reader.size();
    streamSize = total;
    if (total < pkg::PackageFormat::kLeadInSize)
    {
        problems.push_back("package: shorter than its 16-byte lead-in");
        return problems;
    }
    int64_t offset = pkg::PackageFormat::kLeadInSize;
    int64_t emptyAt = -1;  // the index of the first empty chunk that bytes follow
    uint32_t emptyType = 0;
    while (offset < total)
    {
        uint8_t frame[pkg::PackageFormat::kChunkHeaderSize];
        if (total - offset < pkg::PackageFormat::kChunkHeaderSize)
        {
            problems.push_back("package: " + std::to_string(total - offset) + " stray bytes at offset " +
                               std::to_string(offset) + ", too few for a chunk");
            return problems;
        }
        if (!reader.seek(static_cast<uint64_t>(offset)) || reader.read(frame, sizeof frame) != sizeof frame)
        {
            problems.push_back("package: cannot read the chunk at offset " + std::to_string(offset));
            return problems;
        }
        const uint32_t type = base::ByteOrder::LoadLe32(frame);
        const int64_t size = static_cast<int32_t>(base::ByteOrder::LoadLe32(frame + 4));
        const std::string chunk =
            "chunk of type " + std::to_string(type) + " at offset " + std::to_string(offset);
        if (size < 0)
        {
            problems.push_back("package: " + chunk + " has a negative size");
            return problems;
        }
        const int64_t payloadEnd = offset + pkg::PackageFormat::kChunkHeaderSize + size;
        if (payloadEnd > total)
        {
            problems.push_back("package: " + chunk + " is truncated (" + std::to_string(payloadEnd - total) +
                               " bytes missing)");
            return problems;
        }
        const int64_t next = payloadEnd + pkg::PackageFormat::paddingFor(size);
        if (next > total)
        {
            problems.push_back("package: " + chunk + " lacks its padding at the end of the package");
            return problems;
        }
        // No item is made of an empty chunk: the installer's walk stops there, and refuses the package when
        // bytes follow it.
        if (size == 0 && payloadEnd < total && emptyAt < 0)
        {
            emptyAt = static_cast<int64_t>(chunkCount);
            emptyType = type;
        }
        ++chunkCount;
        offset = next;
    }
    if (emptyAt >= 0)
        problems.push_back("package: the installer's walk stops after " + std::to_string(emptyAt) + " of " +
                           std::to_string(chunkCount) + " chunks (" +
                           (emptyType <= pkg::PackageFormat::kTypeTar
                                ? "an empty chunk of type " + std::to_string(emptyType)
                                : std::string("an empty chunk of unknown type")) +
                           ")");
    return problems;
}

bool PackageChecker::Verify(const std::string& path, ProgressBar* progress, std::ostream& out,
                            const std::string& keyDirectory)
{
    std::vector<std::string> problems;
    // Lines shown after the problems, before the verdict: how the content stands against its index, and who
    // signed.
    std::string indexLine;
    std::string signatureLine;
    Verification v{path, keyDirectory, progress, problems, indexLine, signatureLine};
    v.Run();
    if (progress != nullptr)
        progress->Finish();
    for (const std::string& problem : problems) out << problem << '\n';
    if (!indexLine.empty())
        out << indexLine << '\n';
    if (!signatureLine.empty())
        out << signatureLine << '\n';
    if (problems.empty())
        out << "package OK\n";
    else
        out << problems.size() << (problems.size() == 1 ? " problem" : " problems") << " found\n";
    return problems.empty();
}

}  // namespace vex::tools
