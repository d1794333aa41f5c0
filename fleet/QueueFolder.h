#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vex::fleet
{
// Documents waiting to be delivered, kept on the update partition so that none is lost to a failed send or a
// power cut: one file a document, written atomically, named by a number that grows ("0000000042.json") so
// that names sort in the order they were made. The count is bounded: when full, the oldest go first. What
// the folder holds besides such files is ignored.
class QueueFolder
{
public:
    QueueFolder(std::string folder, size_t most);

    // The queued files' names, oldest first (the folder is read bounded).
    std::vector<std::string> names() const;
    // Adds `text` as the newest document; false with `why` when it cannot be kept.
    bool add(const std::string& text, std::string& why);
    // The document of `name`, read bounded to `largest` bytes; false when it cannot be read.
    bool read(const std::string& name, size_t largest, std::string& text) const;
    void remove(const std::string& name) const;

    const std::string& folder() const { return folder_; }

private:
    std::string folder_;
    size_t most_;
};

}  // namespace vex::fleet
