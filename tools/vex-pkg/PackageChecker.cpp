#include "PackageChecker.h"

#include "ByteOrder.h"
#include "DataInfo.h"
#include "InstallProgressNotifierInterface.h"
#include "ItemDecoder.h"
#include "ItemDescription.h"
#include "ItemDir.h"
#include "ItemFile.h"
#include "ItemHeader.h"
#include "ItemKinds.h"
#include "ItemLink.h"
#include "ItemScript.h"
#include "ItemSystem.h"
#include "ItemTar.h"
#include "ItemUnknown.h"
#include "MultipleFileReader.h"
#include "PackageComplianceChecker.h"
#include "PackageFormat.h"
#include "PackageSignature.h"
#include "PkgItemVisitor.h"
#include "ProcessingStrategy.h"
#include "ProgressBar.h"
#include "TarContentChecker.h"
#include "ToolSupport.h"

#include <algorithm>

namespace
{
// Decodes each item's data and compares it with what the package recorded.
class DataChecker : public PkgItemVisitor
{
public:
    DataChecker(InstallProgressNotifierInterface* progress, std::vector<std::string>& problems)
        : progress_(progress), problems_(problems)
    {
    }

    void Check(IPkgItem& item)
    {
        name_ = ItemDescription::Of(item).Name();
        item.accept(*this);
    }

    void visit(ItemUnknown& item) override
    {
        Problem("a chunk of unknown type, or one whose fields could not be read (" +
                std::to_string(item.dataInfo().reader() ? item.dataInfo().reader()->size() : 0) + " bytes)");
    }
    void visit(ItemScript& item) override { Plain(item.dataInfo()); }
    void visitSystem(ItemSystem& item, uint32_t) override { Plain(item.dataInfo()); }
    void visit(ItemFile& item) override
    {
        ItemKinds::Encoding encoding;
        if (!ItemKinds::EncodingOf(item.compression(), item.cipherType(), encoding))
        {
            Problem("encoding " + std::to_string(item.compression()) + "/" +
                    std::to_string(item.cipherType()) + " is not one the installer can decode");
            return;
        }
        std::unique_ptr<ProcessingStrategy> strategy = ItemDecoder::StrategyFor(item);
        int64_t produced = 0;
        if (Decode(item.dataInfo(), *strategy, produced) &&
            produced != static_cast<int64_t>(item.installedSize()))
            Problem("decodes to " + std::to_string(produced) + " bytes, the package records " +
                    std::to_string(item.installedSize()));
    }
    void visit(ItemTar& item) override
    {
        std::string digest;
        for (const std::string& problem : TarContentChecker::Check(item, progress_, digest)) Problem(problem);
        const DataInfo::Digest& recorded = item.dataInfo().digest();
        // Packages from other tools may leave the field empty; the lists inside are what the installer
        // checks.
        const bool unset = std::all_of(recorded.begin(), recorded.end(), [](uint8_t b) { return b == 0; });
        if (!digest.empty() && !unset && digest != ItemDecoder::Hex(recorded.data(), recorded.size()))
            Problem("MD5 of the archive differs from the recorded one");
    }

private:
    void Problem(const std::string& text) { problems_.push_back(name_ + ": " + text); }

    bool Decode(const DataInfo& data, ProcessingStrategy& strategy, int64_t& produced)
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

    void Plain(DataInfo& data)
    {
        std::unique_ptr<ProcessingStrategy> strategy = ItemDecoder::PlainStrategy();
        int64_t produced = 0;
        Decode(data, *strategy, produced);
    }

    InstallProgressNotifierInterface* progress_;
    std::vector<std::string>& problems_;
    std::string name_;
};

// The installer's compliance checker, walked as the installation's first pass walks it: up to the first
// error, then the final verdict.
void CheckCompliance(const OpenedPackage& package, std::vector<std::string>& problems)
{
    LogTap tap;
    PackageComplianceChecker checker;
    std::string failedItem;
    for (const auto& item : package.items())
    {
        if (!item)
            continue;
        item->accept(checker);
        if (checker.GetErrorCode() != PackageComplianceChecker::ErrorCode::kNoError)
        {
            failedItem = ItemDescription::Of(*item).Name();
            break;
        }
    }
    if (checker.GetErrorCode() == PackageComplianceChecker::ErrorCode::kNoError)
        checker.CheckCompliance();
    if (checker.GetErrorCode() == PackageComplianceChecker::ErrorCode::kNoError)
        return;
    const std::vector<std::string> lines = tap.Take();
    std::string why = lines.empty() ? "no package header" : lines.back();
    if (checker.GetErrorCode() == PackageComplianceChecker::ErrorCode::kKindsNotAllowed)
        why +=
            " (the package type does not allow one of its item kinds, or a USER package lacks pre.sh, "
            "clean.sh or post.sh)";
    problems.push_back((failedItem.empty() ? std::string("package") : failedItem) + ": " + why);
}
}  // namespace

std::vector<std::string> PackageChecker::CheckFraming(const std::vector<std::string>& parts,
                                                      int64_t& streamSize, size_t& chunkCount)
{
    std::vector<std::string> problems;
    chunkCount = 0;
    MultipleFileReader reader;
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
    if (total < PackageFormat::kLeadInSize)
    {
        problems.push_back("package: shorter than its 16-byte lead-in");
        return problems;
    }
    int64_t offset = PackageFormat::kLeadInSize;
    while (offset < total)
    {
        uint8_t frame[PackageFormat::kChunkHeaderSize];
        if (total - offset < PackageFormat::kChunkHeaderSize)
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
        const uint32_t type = ByteOrder::LoadLe32(frame);
        const int64_t size = static_cast<int32_t>(ByteOrder::LoadLe32(frame + 4));
        const std::string chunk =
            "chunk of type " + std::to_string(type) + " at offset " + std::to_string(offset);
        if (size < 0)
        {
            problems.push_back("package: " + chunk + " has a negative size");
            return problems;
        }
        const int64_t payloadEnd = offset + PackageFormat::kChunkHeaderSize + size;
        if (payloadEnd > total)
        {
            problems.push_back("package: " + chunk + " is truncated (" + std::to_string(payloadEnd - total) +
                               " bytes missing)");
            return problems;
        }
        const int64_t next = payloadEnd + PackageFormat::paddingFor(size);
        if (next > total)
        {
            problems.push_back("package: " + chunk + " lacks its padding at the end of the package");
            return problems;
        }
        ++chunkCount;
        offset = next;
    }
    return problems;
}

bool PackageChecker::Verify(const std::string& path, ProgressBar* progress, std::ostream& out,
                            const std::string& keyDirectory)
{
    std::vector<std::string> problems;
    OpenedPackage package;
    PackageSignature signature;
    // Who signed, shown after the problems, before the verdict.
    std::string signatureLine;
    std::string error;
    if (!package.Open(path, error))
    {
        problems.push_back("package: " + error);
    }
    else if (!signature.Inspect(path, error))
    {
        problems.push_back("package: " + error);
    }
    else
    {
        int64_t streamSize = 0;
        size_t chunks = 0;
        problems = CheckFraming(OpenedPackage::PartPaths(path), streamSize, chunks);
        // A chunk that no factory accepts ends the installer's walk: whatever follows would be skipped.
        if (problems.empty() && package.items().size() < chunks)
            problems.push_back("package: the installer's walk stops after " +
                               std::to_string(package.items().size()) + " of " + std::to_string(chunks) +
                               " chunks (an empty chunk of unknown type)");
        if (progress != nullptr)
            progress->BytesToProcess(keyDirectory.empty() ? streamSize : 2 * streamSize);
        DataChecker data(progress, problems);
        for (size_t i = 0; i < package.items().size(); ++i)
            if (package.items()[i] && !signature.IsSignatureItem(package, i))
                data.Check(*package.items()[i]);
        CheckCompliance(package, problems);
        if (keyDirectory.empty())
        {
            signatureLine = "signature: " + signature.Description() +
                            (signature.Signed() ? " (not checked: no --keys)" : "");
        }
        else
        {
            std::string detail;
            if (PackageSignature::Check(path, keyDirectory, progress, detail))
                signatureLine =
                    "signature: " + signature.Description() + ", verified with the keys of " + keyDirectory;
            else
                problems.push_back("signature: " + detail);
        }
    }
    if (progress != nullptr)
        progress->Finish();
    for (const std::string& problem : problems) out << problem << '\n';
    if (!signatureLine.empty())
        out << signatureLine << '\n';
    if (problems.empty())
        out << "package OK\n";
    else
        out << problems.size() << (problems.size() == 1 ? " problem" : " problems") << " found\n";
    return problems.empty();
}
