/* Names of the call kinds and fault actions, shared by the library and the counting tool. */
#include <errno.h>
#include <string.h>

#include "fault_inject.h"

static const char* const kKindNames[FI_KIND_COUNT] = {
    "write", "fsync", "rename", "unlink", "mkdir", "symlink", "chmod", "chown", "utimes", "close", "fatattr"};

const char* fi_kind_name(int kind)
{
    return kind >= 0 && kind < FI_KIND_COUNT ? kKindNames[kind] : "?";
}

int fi_kind_from_name(const char* name)
{
    for (int i = 0; i < FI_KIND_COUNT; ++i)
        if (strcmp(name, kKindNames[i]) == 0)
            return i;
    return -1;
}

int fi_action_from_name(const char* name)
{
    if (strcmp(name, "kill") == 0)
        return 0;
    if (strcmp(name, "EIO") == 0)
        return EIO;
    if (strcmp(name, "ENOSPC") == 0)
        return ENOSPC;
    if (strcmp(name, "EROFS") == 0)
        return EROFS;
    return -1;
}
