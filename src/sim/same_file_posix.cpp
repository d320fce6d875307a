// quorva-sim's output files on Linux: descriptors, device and inode numbers.
#include "sim/same_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
FileId identity(int result, const struct stat& info)
{
    FileId id;
    id.error = result == 0 ? 0 : errno;
    if (result == 0) {
        id.known = true;
        id.volume = static_cast<unsigned long long>(info.st_dev);
        id.index = static_cast<unsigned long long>(info.st_ino);
    }
    return id;
}
}  // namespace

FILE* open_output(const char* path, bool& created)
{
    const FileId before = identity_of(path);
    if (!identity_read(before)) {
        errno = before.error;
        return nullptr;
    }
    created = !before.known;
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    if (fd <= STDERR_FILENO) {
        // One of the standard descriptors was closed; leave it closed for the tool.
        const int higher = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        const int saved = errno;
        close(fd);
        errno = saved;
        fd = higher;
    }
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (!file) {
        // Opened (and maybe created) but not usable: close it, and take back what was created.
        const int saved = errno;
        if (fd >= 0)
            close(fd);
        if (created)
            remove_output(path);
        errno = saved;
    }
    return file;
}

FileId identity_of(FILE* file)
{
    struct stat info;
    return identity(fstat(fileno(file), &info), info);
}

FileId identity_of(const char* path)
{
    struct stat info;
    return identity(stat(path, &info), info);
}

bool empty_output(FILE* file)
{
    struct stat info;
    if (fstat(fileno(file), &info) != 0)
        return false;
    return !S_ISREG(info.st_mode) || ftruncate(fileno(file), 0) == 0;
}

bool remove_output(const char* path)
{
    char* real = realpath(path, nullptr);
    if (!real)
        return false;
    const bool removed = unlink(real) == 0;
    const int saved = errno;
    std::free(real);
    errno = saved;
    return removed;
}
