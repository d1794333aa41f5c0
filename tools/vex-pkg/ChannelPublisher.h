#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace vex::tools
{
// Publishes signed packages to a channel folder that any web server, object store or CDN serves as it is:
// DIR/NAME.json (the channel document), DIR/NAME.json.sig (its signature) and DIR/packages/<sha256>.pkg.
// Every file is written complete to a temporary name, synced and renamed into place, so a reader sees an
// old file or a new one, never part of one. Every failure is false with a one-line reason.
class ChannelPublisher
{
public:
    struct Request
    {
        std::string package;
        std::string directory;
        std::string channel;
        std::string privateKey;
        uint32_t rollout = 100;
        int64_t expiresInDays = 30;
        // Start the channel afresh when its document is missing or does not verify with the key.
        bool newChannel = false;
        int64_t now = 0;  // seconds since 1970
    };

    // Checks the package (one file, a signed index whose signature holds for the key's public half, every
    // block as the index says), copies it under its content's name, then adds or replaces its release in
    // the channel, with the next sequence and a new expiry, and signs the document. Reports on `out`.
    static bool publish(const Request& request, std::ostream& out, std::string& why);

    // Prints the channel (sequence, expiry, releases). With `keyDirectory`, the document's signature is
    // checked against its keys first, and expiry against `now`; false when it is refused.
    static bool list(const std::string& directory, const std::string& channel,
                     const std::string& keyDirectory, int64_t now, std::ostream& out, std::string& why);
};

}  // namespace vex::tools
