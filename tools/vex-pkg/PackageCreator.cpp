#include "tools/vex-pkg/PackageCreator.h"

#include "base/InstallProgressNotifierInterface.h"
#include "pkg/read/PackageParts.h"
#include "pkg/writer/PackageWriter.h"
#include "pkg/writer/PayloadEncoder.h"
#include "tools/vex-pkg/FileBytes.h"
#include "tools/vex-pkg/TarItemMaker.h"

#include <boost/filesystem.hpp>

namespace vex::tools
{
namespace fs = boost::filesystem;

namespace
{
uint64_t SizeOf(const std::string& path)
{
    boost::system::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    return ec ? 0 : size;
}

class Build
{
public:
    Build(const Manifest& manifest, base::InstallProgressNotifierInterface* progress)
        : manifest_(manifest), progress_(progress)
    {
    }

    bool Fail(const Manifest::Where& where, const std::string& text)
    {
        if (error_.empty())
            error_ = ManifestReader::Located(manifest_.path, where, text);
        return false;
    }

    void Done(uint64_t bytes)
    {
        if (progress_ != nullptr)
            progress_->BytesProcessed(static_cast<long long>(bytes));
    }

    bool Run(pkg::writer::PackageWriter& writer, const std::string& output);
    const std::string& error() const { return error_; }

private:
    bool Written(pkg::writer::PackageWriter& writer, const Manifest::Where& where, const std::string& output)
    {
        return writer.ok() || Fail(where, "writing " + output + " failed (disk full, or not writable?)");
    }

    const Manifest& manifest_;
    base::InstallProgressNotifierInterface* progress_;
    std::string error_;
};

bool Build::Run(pkg::writer::PackageWriter& writer, const std::string& output)
{
    if (progress_ != nullptr)
    {
        uint64_t total = 0;
        for (const auto& image : manifest_.systemImages) total += SizeOf(image.source);
        for (const auto& file : manifest_.files) total += SizeOf(file.source);
        for (const auto& script : manifest_.scripts) total += SizeOf(script.source);
        progress_->BytesToProcess(static_cast<long long>(total));
    }
    writer.addHeader(manifest_.header);
    if (!Written(writer, Manifest::Where{1, 1}, output))
        return false;
    for (const auto& image : manifest_.systemImages)
    {
        writer.addSystemImageFile(image.chunkType, image.source);
        if (!Written(writer, image.where, output))
            return false;
        Done(SizeOf(image.source));
    }
    for (const auto& script : manifest_.scripts)
    {
        pkg::writer::PackageWriter::Bytes bytes;
        if (!FileBytes::Read(script.source, bytes))
            return Fail(script.where, "cannot read " + script.source);
        writer.addScript(script.name, bytes, script.condition);
        if (!Written(writer, script.where, output))
            return false;
        Done(bytes.size());
    }
    for (const auto& directory : manifest_.directories)
    {
        writer.addDirectory(directory.path, directory.attributes);
        if (!Written(writer, directory.where, output))
            return false;
    }
    for (const auto& file : manifest_.files)
    {
        if (file.encoding == ItemKinds::Encoding::Plain)
        {
            writer.addFileFromDisk(file.info, file.source);
        }
        else
        {
            pkg::writer::PackageWriter::Bytes content;
            if (!FileBytes::Read(file.source, content))
                return Fail(file.where, "cannot read " + file.source);
            pkg::writer::PackageWriter::EncodedData encoded;
            encoded.installedSize = static_cast<uint32_t>(content.size());
            encoded.installedDigest = pkg::writer::PackageWriter::digestOf(content);
            bool encodedOk = false;
            if (file.encoding == ItemKinds::Encoding::Zlib)
            {
                encoded.encoding =
                    pkg::PackageFormat::encodingByte(pkg::PackageFormat::kCompressionQtZlib, 0);
                encodedOk =
                    pkg::writer::PayloadEncoder::compress(content.data(), content.size(), encoded.data);
            }
            else
            {
                const uint8_t cipher = file.encoding == ItemKinds::Encoding::Blowfish
                                           ? pkg::PackageFormat::kCipherBlowfish
                                           : pkg::PackageFormat::kCipherDes;
                encoded.encoding =
                    pkg::PackageFormat::encodingByte(pkg::PackageFormat::kCompressionNone, cipher);
                // Vectors derived from the content: the same file always gives the same package bytes.
                encodedOk = pkg::writer::PayloadEncoder::encrypt(
                    cipher, content.data(), content.size(), encoded.data,
                    pkg::writer::EncryptionStrategy::Vectors::FromContent);
            }
            if (!encodedOk)
                return Fail(file.where, "cannot encode " + file.source);
            content.clear();
            content.shrink_to_fit();
            writer.addEncodedFile(file.info, encoded);
        }
        if (!Written(writer, file.where, output))
            return false;
        Done(SizeOf(file.source));
    }
    for (const auto& link : manifest_.links)
    {
        writer.addLink(link.link);
        if (!Written(writer, link.where, output))
            return false;
    }
    for (const auto& tar : manifest_.tars)
    {
        std::vector<uint8_t> archive;
        uint64_t expanded = 0;
        std::string why;
        if (!TarItemMaker::Make(tar, manifest_.modificationTime, archive, expanded, why))
            return Fail(tar.where, "tar " + tar.destination + ": " + why);
        if (expanded > 0xFFFFFFFFull)
            return Fail(tar.where, "tar " + tar.destination + " expands to more than 4 GiB - 1");
        writer.addTar(tar.destination, archive, tar.condition, static_cast<int64_t>(expanded));
        if (!Written(writer, tar.where, output))
            return false;
    }
    return writer.close() || Fail(Manifest::Where{1, 1}, "writing " + output + " failed");
}
}  // namespace

bool PackageCreator::Create(const Manifest& manifest, const std::string& output, int64_t partSize,
                            base::InstallProgressNotifierInterface* progress, std::string& error)
{
    const std::string first = partSize > 0 ? pkg::PackageParts::firstPartName(output) : output;
    pkg::writer::PackageWriter writer;
    Build build(manifest, progress);
    bool ok = false;
    if (!writer.open(first, partSize))
        build.Fail(Manifest::Where{1, 1}, "cannot create " + first);
    else
        ok = build.Run(writer, first);
    if (!ok)
    {
        writer.close();
        // A half-written package must not be mistaken for a good one.
        for (const std::string& part : writer.partPaths())
        {
            boost::system::error_code ec;
            fs::remove(part, ec);
        }
        error = build.error();
    }
    return ok;
}

}  // namespace vex::tools
