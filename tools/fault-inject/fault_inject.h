/* The counter that every process of one run shares through a mapping of FAULT_INJECT_STATE. */
#ifndef FAULT_INJECT_H
#define FAULT_INJECT_H

enum fi_kind
{
    FI_WRITE,
    FI_FSYNC,
    FI_RENAME,
    FI_UNLINK,
    FI_MKDIR,
    FI_SYMLINK,
    FI_CHMOD,
    FI_CHOWN,
    FI_UTIMES,
    FI_CLOSE,
    FI_FATATTR,
    FI_KIND_COUNT
};

struct fi_counters
{
    long long total;
    long long fired; /* the global number of the call that got the fault, 0 while none did */
    long long by_kind[FI_KIND_COUNT];
};

const char* fi_kind_name(int kind);
int fi_kind_from_name(const char* name);
int fi_action_from_name(const char* name);

#endif
