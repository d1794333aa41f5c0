#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vex::base
{
// Small files that must be found whole after a power cut: the old text or the new one, never a mixture. A
// write goes to a temporary file beside the target, is flushed, renamed over it, and then the folder is
// flushed so that the rename itself reaches the device. Reads are bounded and take only regular files.
class AtomicFile
{
public:
    // Flushes the file or directory open at `fd` (which `path` names) to its device; empty means fsync.
    using Sync = std::function<bool(int fd, const std::string& path)>;

    // Writes `text` to `path` as described above. False with `why` (one line) when any step fails; a
    // temporary file left by a failed or earlier attempt is removed, and a link planted in its place is not
    // followed.
    static bool write(const std::string& path, const std::string& text, std::string& why,
                      const Sync& sync = Sync(), uint32_t mode = 0644);

    enum class Read
    {
        kAbsent,  // no such file
        kRead,    // `text` holds it
        kFailed,  // there but not a regular file of at most `largest` bytes, or unreadable: `why` says
    };
    // Reads a regular file of at most `largest` bytes (a link is not followed).
    static Read read(const std::string& path, size_t largest, std::string& text, std::string& why);
};

}  // namespace vex::base
