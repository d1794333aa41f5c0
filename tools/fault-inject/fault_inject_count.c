/* fault-inject-count FILE: prints the counts a run left in the shared counter of fault_inject.so, one line
 * per kind ("KIND COUNT"), then "total N" and, when a fault fired, "fired N". */
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fault_inject.h"

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "Usage: fault-inject-count STATE-FILE\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < (off_t)sizeof(struct fi_counters))
    {
        fprintf(stderr, "fault-inject-count: %s holds no counts\n", argv[1]);
        return 1;
    }
    const struct fi_counters* c = mmap(NULL, sizeof *c, PROT_READ, MAP_SHARED, fd, 0);
    if (c == MAP_FAILED)
    {
        fprintf(stderr, "fault-inject-count: cannot map %s\n", argv[1]);
        return 1;
    }
    for (int i = 0; i < FI_KIND_COUNT; ++i) printf("%s %lld\n", fi_kind_name(i), c->by_kind[i]);
    printf("total %lld\n", c->total);
    if (c->fired != 0)
        printf("fired %lld\n", c->fired);
    return 0;
}
