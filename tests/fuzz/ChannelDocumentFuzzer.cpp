// A channel document through its parser, as an instrument reads it once the signature holds (and the
// publishing tool reads an existing channel). A document that parses writes back to text that parses to
// the same document; a refused one says why and leaves the document it was parsed into as it was. The
// same bytes as a signature file either split into key ID and signature exactly or are refused.

#include "fleet/ChannelDocument.h"
#include "fleet/ChannelSignature.h"
#include "tests/fuzz/FuzzTarget.h"

#include <string>

using vex::fleet::ChannelDocument;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    ChannelDocument document;
    document.name = "sentinel";
    document.sequence = 42;
    const std::string before = document.serialize();
    std::string why;
    if (!ChannelDocument::parse(bytes, document, why))
    {
        FUZZ_REQUIRE(!why.empty());
        FUZZ_REQUIRE(document.serialize() == before);
    }
    else
    {
        FUZZ_REQUIRE(size <= ChannelDocument::kLargestDocument);
        FUZZ_REQUIRE(document.releases.size() <= ChannelDocument::kMostReleases);
        const std::string text = document.serialize();
        ChannelDocument back;
        FUZZ_REQUIRE(ChannelDocument::parse(text, back, why));
        FUZZ_REQUIRE(back.serialize() == text);
    }

    vex::pkg::Ed25519Key::KeyId id{};
    vex::pkg::Ed25519Key::Signature value{};
    const bool read = vex::fleet::ChannelSignature::read(bytes, id, value);
    FUZZ_REQUIRE(read == (size == vex::fleet::ChannelSignature::kSize &&
                          bytes.compare(0, vex::fleet::ChannelSignature::kMarkerSize,
                                        vex::fleet::ChannelSignature::kMarker) == 0));
    return 0;
}
