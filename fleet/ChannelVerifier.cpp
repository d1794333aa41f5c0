#include "fleet/ChannelVerifier.h"

#include "fleet/ChannelSignature.h"
#include "pkg/trust/TrustedKeys.h"

namespace vex::fleet
{
ChannelVerifier::Verdict ChannelVerifier::check(const std::string& channel, const std::string& bytes,
                                                const std::string& signature, int64_t now,
                                                uint64_t lastSequence, ChannelDocument& document,
                                                std::string& why) const
{
    pkg::TrustedKeys keys;
    keys.load(keyDirectory_);
    if (keys.size() == 0)
    {
        // No key never means "anything goes".
        why = "no usable key in " + keyDirectory_ + ": " + keys.problem();
        return Verdict::kRefused;
    }
    pkg::Ed25519Key::KeyId id{};
    pkg::Ed25519Key::Signature value{};
    if (!ChannelSignature::read(signature, id, value))
    {
        why = "the signature file is not a channel signature";
        return Verdict::kRefused;
    }
    const std::string idText = pkg::Ed25519Key::hex(id.data(), id.size());
    const pkg::Ed25519Key* key = keys.find(id);
    if (key == nullptr)
    {
        why = "the channel is signed by unknown key " + idText;
        return Verdict::kRefused;
    }
    std::vector<uint8_t> message;
    if (!ChannelSignature::message(bytes, message))
    {
        why = "the channel document's digest could not be computed";
        return Verdict::kRefused;
    }
    if (!key->verify(message.data(), message.size(), value))
    {
        why = "bad signature by key " + idText + " over the channel document";
        return Verdict::kRefused;
    }

    ChannelDocument parsed;
    std::string problem;
    if (!ChannelDocument::parse(bytes, parsed, problem))
    {
        // Signed, yet malformed: the signer's tool was wrong, and it is still refused.
        why = "the channel document is malformed: " + problem;
        return Verdict::kRefused;
    }
    if (parsed.name != channel)
    {
        why = "the document is of channel \"" + parsed.name + "\", not \"" + channel + "\"";
        return Verdict::kRefused;
    }
    if (parsed.expires <= now)
    {
        why = "the channel document expired at " + ChannelDocument::timeText(parsed.expires);
        return Verdict::kRefused;
    }
    if (parsed.sequence < lastSequence)
    {
        why = "the channel document has sequence " + std::to_string(parsed.sequence) +
              ", older than the last one accepted (" + std::to_string(lastSequence) + ")";
        return Verdict::kRefused;
    }
    const bool same = parsed.sequence == lastSequence;
    document = std::move(parsed);
    return same ? Verdict::kUnchanged : Verdict::kAccepted;
}

}  // namespace vex::fleet
