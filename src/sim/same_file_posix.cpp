// Whether two paths name one file, on Linux: the same device and inode.
#include "sim/same_file.h"

#include <cstring>
#include <sys/stat.h>

bool same_file(const char* a, const char* b)
{
    struct stat sa, sb;
    if (std::strcmp(a, b) == 0)
        return true;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
