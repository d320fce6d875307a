// Whether two paths name one file, on Linux: the same device and inode, or, for a file that does
// not exist yet, the same name once the folders on the way are resolved.
#include "sim/same_file.h"

#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {
// The path with its folder resolved (links, "." and ".."), its last name kept as it is.
std::string resolved(const char* path)
{
    const std::string text(path);
    const size_t slash = text.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : text.substr(0, slash + 1);
    char* real = realpath(folder.c_str(), nullptr);
    if (!real)
        return text;
    const std::string result = std::string(real) + "/" + text.substr(slash == std::string::npos ? 0 : slash + 1);
    std::free(real);
    return result;
}
}  // namespace

bool same_file(const char* a, const char* b)
{
    struct stat sa, sb;
    if (stat(a, &sa) == 0 && stat(b, &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return resolved(a) == resolved(b);
}
