#pragma once

// The member-pattern set used to extract only some members of an archive. Patterns are tar-style member
// patterns ("./bundle_tart", "./etc/*"); a pattern that names a directory also selects what lies below it.
// The set is a thin layer over libarchive's own matcher, so that selected extraction matches names exactly
// as libarchive's tools do. A null set is an empty set: it excludes nothing.

namespace vex::tar
{
struct lafe_matching;

// Adds `pattern` to the set, creating the set on first use. Returns 0, or -1 when the set cannot be made
// or the pattern is refused (null or empty); a refused pattern matches nothing.
int lafe_include(struct lafe_matching** matching, const char* pattern);

// Returns 1 when an entry named `pathname` is to be skipped: the set holds patterns and none selects it.
// Returns 0 when the entry is to be extracted (always with an empty set).
int lafe_excluded(struct lafe_matching* matching, const char* pathname);

// Frees the set and leaves `*matching` null; a null set is fine.
void lafe_cleanup_exclusions(struct lafe_matching** matching);

}  // namespace vex::tar
