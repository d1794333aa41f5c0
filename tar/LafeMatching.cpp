#include "tar/LafeMatching.h"

#include "tar/ArchiveHandles.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <new>

namespace vex::tar
{
namespace
{
struct MatchDeleter
{
    void operator()(struct archive* a) const { archive_match_free(a); }
};
}  // namespace

struct lafe_matching
{
    std::unique_ptr<struct archive, MatchDeleter> matcher;
    // The matcher judges entries, not names: one scratch entry is reused for every name asked about.
    ArchiveEntry scratch;
    int asked = 0;
    int added = 0;
};

int lafe_include(struct lafe_matching** matching, const char* pattern)
{
    if (matching == nullptr)
        return -1;
    if (*matching == nullptr)
    {
        std::unique_ptr<lafe_matching> fresh(new (std::nothrow) lafe_matching);
        if (!fresh)
            return -1;
        fresh->matcher.reset(archive_match_new());
        fresh->scratch.reset(archive_entry_new());
        if (!fresh->matcher || !fresh->scratch)
            return -1;
        *matching = fresh.release();
    }
    // A refused pattern still counts as asked for: a selection must never widen to "everything" because
    // its only pattern could not be used.
    ++(*matching)->asked;
    if (pattern == nullptr || *pattern == '\0' ||
        archive_match_include_pattern((*matching)->matcher.get(), pattern) != ARCHIVE_OK)
        return -1;
    ++(*matching)->added;
    return 0;
}

int lafe_excluded(struct lafe_matching* matching, const char* pathname)
{
    if (matching == nullptr || matching->asked == 0)
        return 0;
    if (pathname == nullptr || matching->added == 0)
        return 1;
    archive_entry_copy_pathname(matching->scratch.get(), pathname);
    // A negative answer is the matcher failing (out of memory): extracting a member that was not asked for
    // would be worse than skipping it, so it counts as excluded.
    return archive_match_path_excluded(matching->matcher.get(), matching->scratch.get()) == 0 ? 0 : 1;
}

void lafe_cleanup_exclusions(struct lafe_matching** matching)
{
    if (matching == nullptr)
        return;
    delete *matching;
    *matching = nullptr;
}

}  // namespace vex::tar
