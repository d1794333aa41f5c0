#pragma once

#include "tar/MemberScreen.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vex::tools
{
// What `vex-pkg extract` does to tar members so that its output can be looked at safely, whoever runs it: no
// device node, FIFO or socket is created (nor a hard link to one, nor a hard link that carries data, which
// would be written into whatever file it names), and no file keeps a set-user-id or set-group-id bit or file
// capabilities. Every member skipped or changed is noted, for "attributes.tsv".
class InspectionScreen : public tar::MemberScreen
{
public:
    struct Note
    {
        std::string path;  // where the member lands, as the package names it ("/rootfs/opt/x")
        int64_t uid;
        int64_t gid;
        unsigned mode;  // permission bits as the archive gives them, before any change
        std::string text;
    };

    // `itemFolder` is the folder the tar item's path names, as stored in the package ("/rootfs/opt").
    explicit InspectionScreen(std::string itemFolder);

    Action Screen(struct archive_entry* entry, std::string& why) override;

    const std::vector<Note>& notes() const { return notes_; }

    // `mode` without its set-user-id and set-group-id bits; `dropped` says which were there ("set-uid
    // dropped", "set-gid dropped", "set-uid and set-gid dropped") or is left empty. The one rule for tar
    // members, files and directories alike.
    static unsigned WithoutPrivilegeBits(unsigned mode, std::string& dropped);

private:
    void Add(struct archive_entry* entry, const std::string& text);

    std::string itemFolder_;
    std::vector<Note> notes_;
};

}  // namespace vex::tools
