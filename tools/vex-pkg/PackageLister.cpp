#include "tools/vex-pkg/PackageLister.h"

#include "pkg/items/ItemHeader.h"
#include "pkg/read/PackageFormat.h"
#include "pkg/trust/PackageIndex.h"
#include "tools/vex-pkg/ItemDescription.h"
#include "tools/vex-pkg/ItemKinds.h"
#include "tools/vex-pkg/PackageSignature.h"
#include "tools/vex-pkg/ToolSupport.h"

#include <cstdio>

namespace vex::tools
{
namespace
{
std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (const unsigned char c : text)
    {
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += static_cast<char>(c);
        }
        else if (c < 0x20 || c == 0x7f)
        {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
        else
        {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string TypeName(uint32_t type)
{
    const std::string name = ItemKinds::PackageTypeName(type);
    return name.empty() ? "unknown(" + std::to_string(type) + ")" : name;
}

std::string Size(int64_t size)
{
    return size < 0 ? "-" : std::to_string(size);
}

void ItemLine(const ItemDescription& d, std::ostream& out)
{
    out << d.kind << ' ' << (d.path.empty() ? "-" : Printable(d.path));
    if (!d.target.empty())
        out << " -> " << Printable(d.target);
    out << "  stored " << Size(d.storedSize) << "  installed " << Size(d.installedSize) << "  encoding "
        << (d.encoding.empty() ? "-" : d.encoding) << "  condition " << d.condition << "  owner ";
    if (d.uid < 0)
        out << '-';
    else
        out << d.uid << '/' << d.gid << '/' << (d.mode.empty() ? "-" : d.mode);
    out << "  fat ";
    if (d.fat.empty())
        out << '-';
    for (size_t i = 0; i < d.fat.size(); ++i) out << (i ? "," : "") << d.fat[i];
    out << '\n';
}

void ItemJson(const ItemDescription& d, std::ostream& out)
{
    out << "{\"kind\": " << JsonString(d.kind) << ", \"path\": " << JsonString(d.path);
    if (d.kind == "link")
        out << ", \"target\": " << JsonString(d.target);
    out << ", \"stored_size\": " << d.storedSize << ", \"installed_size\": " << d.installedSize
        << ", \"encoding\": " << (d.encoding.empty() ? "null" : JsonString(d.encoding))
        << ", \"condition\": " << d.condition;
    if (d.uid >= 0)
        out << ", \"owner\": " << d.uid << ", \"group\": " << d.gid;
    if (!d.mode.empty())
        out << ", \"mode\": " << JsonString(d.mode);
    out << ", \"fat\": [";
    for (size_t i = 0; i < d.fat.size(); ++i) out << (i ? ", " : "") << JsonString(d.fat[i]);
    out << "]}";
}

const pkg::ItemHeader* FindHeader(const OpenedPackage& package)
{
    for (const auto& item : package.items())
        if (const auto* header = dynamic_cast<const pkg::ItemHeader*>(item.get()))
            return header;
    return nullptr;
}

void SignatureJson(const PackageSignature* signature, std::ostream& out)
{
    if (signature == nullptr)
        return;
    out << ",\n  \"signature\": {\"signed\": " << (signature->Signed() ? "true" : "false");
    if (signature->Signed())
        out << ", \"scheme\": " << JsonString(signature->Scheme())
            << ", \"key_id\": " << JsonString(signature->KeyId());
    if (signature->SignedAtTheEnd())
        out << ", \"problem\": " << JsonString(PackageSignature::OldWayNote());
    else if (!signature->Signed() && signature->Description() != "unsigned")
        out << ", \"problem\": " << JsonString(signature->Description());
    out << "}";
}

// What the signed index says of the release and of every chunk after it, as the package carries it (listing
// shows what a package claims; verify checks it).
void IndexText(const pkg::PackageIndex* index, std::ostream& out)
{
    if (index == nullptr)
    {
        out << "index: none\n";
        return;
    }
    out << "version: " << index->version().text() << '\n';
    out << "minimum installer: " << index->minInstaller().text() << '\n';
    out << "index: " << index->chunks().size() << " chunks, block size " << index->blockSize()
        << ", compatibility";
    for (const std::string& id : index->compatibility()) out << ' ' << Printable(id);
    out << (index->compatibility().empty() ? " none\n" : "\n");
    for (size_t i = 0; i < index->chunks().size(); ++i)
    {
        const pkg::PackageIndex::Chunk& chunk = index->chunks()[i];
        out << "index chunk " << i << "  type " << chunk.type << " (" << ItemKinds::ChunkKindName(chunk.type)
            << ")  offset " << chunk.offset << "  length " << chunk.length << "  blocks " << chunk.blocks
            << '\n';
    }
}

void IndexJson(const pkg::PackageIndex* index, std::ostream& out)
{
    if (index == nullptr)
    {
        out << ",\n  \"version\": null, \"min_installer\": null, \"index\": null";
        return;
    }
    out << ",\n  \"version\": " << JsonString(index->version().text())
        << ", \"min_installer\": " << JsonString(index->minInstaller().text());
    out << ",\n  \"index\": {\"block_size\": " << index->blockSize()
        << ", \"data_start\": " << index->dataStart() << ", \"stream_length\": " << index->streamLength()
        << ", \"compatibility\": [";
    for (size_t i = 0; i < index->compatibility().size(); ++i)
        out << (i ? ", " : "") << JsonString(index->compatibility()[i]);
    out << "], \"chunks\": [";
    for (size_t i = 0; i < index->chunks().size(); ++i)
    {
        const pkg::PackageIndex::Chunk& chunk = index->chunks()[i];
        out << (i ? ",\n    " : "\n    ") << "{\"number\": " << i << ", \"type\": " << chunk.type
            << ", \"kind\": " << JsonString(ItemKinds::ChunkKindName(chunk.type))
            << ", \"offset\": " << chunk.offset << ", \"length\": " << chunk.length
            << ", \"blocks\": " << chunk.blocks << "}";
    }
    out << (index->chunks().empty() ? "]}" : "\n  ]}");
}

void HeaderText(const pkg::ItemHeader* header, std::ostream& out)
{
    if (header == nullptr)
    {
        out << "header: none\n";
        return;
    }
    out << "header: type " << TypeName(header->packageType()) << ", library " << int(header->versionA())
        << '.' << int(header->versionB()) << ", installer " << int(header->installMajor()) << '.'
        << int(header->installMinor()) << ", flag " << (header->headerFlag() ? 1 : 0) << ", value "
        << int(header->headerFlagValue()) << '\n';
    out << "compatibility:";
    for (const auto& entry : header->compatibility()) out << ' ' << Printable(entry.text());
    out << (header->compatibility().empty() ? " none\n" : "\n");
    out << "texts: \"" << Printable(header->text1()) << "\" \"" << Printable(header->text2()) << "\" \""
        << Printable(header->text5()) << "\" \"" << Printable(header->text6()) << "\"\n";
    out << "date: " << Printable(header->creationDate()) << ' ' << Printable(header->creationTime()) << '\n';
}
}  // namespace

void PackageLister::List(const OpenedPackage& package, bool json, std::ostream& out,
                         const PackageSignature* signature)
{
    const pkg::ItemHeader* header = FindHeader(package);
    // The signature chunk is shown as the package's signature, not as an unknown item.
    auto listed = [&](size_t index)
    {
        const auto& item = package.items()[index];
        return item && dynamic_cast<const pkg::ItemHeader*>(item.get()) == nullptr &&
               (signature == nullptr || !signature->IsSignatureItem(package, index));
    };
    if (!json)
    {
        for (size_t i = 0; i < package.items().size(); ++i)
            if (listed(i))
                ItemLine(ItemDescription::Of(*package.items()[i]), out);
        HeaderText(header, out);
        if (signature != nullptr)
        {
            IndexText(signature->Index().get(), out);
            out << "signature: " << signature->Description() << '\n';
        }
        return;
    }
    out << "{\n  \"items\": [";
    bool first = true;
    for (size_t i = 0; i < package.items().size(); ++i)
    {
        const auto& item = package.items()[i];
        if (!listed(i))
            continue;
        out << (first ? "\n    " : ",\n    ");
        first = false;
        ItemJson(ItemDescription::Of(*item), out);
    }
    out << (first ? "],\n" : "\n  ],\n");
    if (header == nullptr)
    {
        out << "  \"header\": null";
        if (signature != nullptr)
            IndexJson(signature->Index().get(), out);
        SignatureJson(signature, out);
        out << "\n}\n";
        return;
    }
    out << "  \"header\": {\"type\": " << JsonString(TypeName(header->packageType()))
        << ", \"library_version\": [" << int(header->versionA()) << ", " << int(header->versionB())
        << "], \"install_version\": [" << int(header->installMajor()) << ", " << int(header->installMinor())
        << "], \"header_flag\": " << (header->headerFlag() ? "true" : "false")
        << ", \"header_value\": " << int(header->headerFlagValue()) << ", \"compatibility\": [";
    for (size_t i = 0; i < header->compatibility().size(); ++i)
        out << (i ? ", " : "") << JsonString(header->compatibility()[i].text());
    out << "], \"text1\": " << JsonString(header->text1()) << ", \"text2\": " << JsonString(header->text2())
        << ", \"text5\": " << JsonString(header->text5()) << ", \"text6\": " << JsonString(header->text6())
        << ", \"date\": " << JsonString(header->creationDate())
        << ", \"time\": " << JsonString(header->creationTime()) << "}";
    if (signature != nullptr)
        IndexJson(signature->Index().get(), out);
    SignatureJson(signature, out);
    out << "\n}\n";
}

}  // namespace vex::tools
