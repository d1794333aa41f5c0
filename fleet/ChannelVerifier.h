#pragma once

#include "fleet/ChannelDocument.h"

#include <cstdint>
#include <string>

namespace vex::fleet
{
// Decides whether an instrument may act on a channel document it fetched. In this order, so that nothing
// unsigned is parsed: the signature file names a key of the trusted key folder and its signature holds over
// the document's exact bytes; the document parses; it names the channel asked for (a document of another
// channel, validly signed, is not this one); it has not expired; its sequence is not lower than the last one
// accepted (an older document replayed would roll releases back). Every refusal has a one-line reason.
class ChannelVerifier
{
public:
    enum class Verdict
    {
        kAccepted,   // a newer document than the last one accepted
        kUnchanged,  // the same sequence as the last one accepted: nothing new
        kRefused,
    };

    // Keys are read from `keyDirectory` (its *.pem files) at each check.
    explicit ChannelVerifier(std::string keyDirectory) : keyDirectory_(std::move(keyDirectory)) {}

    // `now` in seconds since 1970; `lastSequence` the sequence of the last document accepted, 0 for none.
    // `document` is set only when the verdict is not kRefused.
    Verdict check(const std::string& channel, const std::string& bytes, const std::string& signature,
                  int64_t now, uint64_t lastSequence, ChannelDocument& document, std::string& why) const;

private:
    std::string keyDirectory_;
};

}  // namespace vex::fleet
