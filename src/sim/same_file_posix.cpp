// quorva-sim's output files on Linux: device and inode numbers, and each output's folder, held open
// so that a refused run removes exactly the file it created and nothing else.
#include "sim/same_file.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Links to files that do not exist yet, and files that vanish between two opens, followed before
// an open gives up.
const int MAX_STEPS = 40;

FileId identity(int result, const struct stat& info)
{
    FileId id;
    id.error = result == 0 ? 0 : errno;
    if (result == 0) {
        id.known = true;
        id.volume = static_cast<unsigned long long>(info.st_dev);
        id.index = static_cast<unsigned long long>(info.st_ino);
        id.size = static_cast<unsigned long long>(info.st_size);
        id.modified = static_cast<long long>(info.st_mtim.tv_sec);
        id.modified_ns = static_cast<long>(info.st_mtim.tv_nsec);
    }
    return id;
}

// Closes a descriptor this module opened, keeping errno; none (-1, or AT_FDCWD) is left alone.
void close_quietly(int fd)
{
    const int saved = errno;
    if (fd >= 0)
        close(fd);
    errno = saved;
}

// Opens the folder of `path` (looked up from `base`) to look its last name up in, and sets `name`
// to that name. Returns -1 with errno.
int open_folder(int base, const std::string& path, std::string& name)
{
    const size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    return openat(base, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Whether the kernel guards `name` in `folder` for other users when a program opens it with O_CREAT:
// in a folder where only owners may remove (sticky, such as /tmp), a name that neither this user
// nor the folder's owner owns, or whose owner cannot be read.
bool guarded(int folder, const char* name)
{
    struct stat info, entry;
    if (fstat(folder, &info) != 0)
        return true;
    if (!(info.st_mode & S_ISVTX))
        return false;
    return fstatat(folder, name, &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
           (entry.st_uid != geteuid() && entry.st_uid != info.st_uid);
}

// Opens `out.path` for writing without waiting for a reader, creating it only where nothing of that
// name exists (O_EXCL), so that `out.created` comes from the open itself. A name that exists is
// opened as it is; a link to a file that does not exist yet is followed from its own folder, to
// create its target there. Leaves the folder open in `out.folder`. Returns -1 with errno.
int open_named(Output& out)
{
    std::string path = out.path;
    int base = AT_FDCWD;
    for (int step = 0; step < MAX_STEPS; ++step) {
        if (path.back() == '/') {
            // A name ending in a slash is no file to create or write: with O_CREAT the kernel opens
            // and creates nothing there, and only says why (a folder, or a missing one on the way).
            const int fd = openat(base, path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
            close_quietly(fd);
            close_quietly(base);
            errno = fd >= 0 ? EISDIR : errno;
            return -1;
        }
        const int folder = open_folder(base, path, out.name);
        if (folder < 0) {
            close_quietly(base);
            return -1;
        }
        // The end of the search: the folder stays open with the file, only with it.
        auto done = [&](int fd) {
            close_quietly(base);
            if (fd < 0)
                close_quietly(folder);
            else
                out.folder = folder;
            return fd;
        };
        const char* const name = out.name.c_str();
        int fd = openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0666);
        out.created = fd >= 0;
        if (fd >= 0 || errno != EEXIST)
            return done(fd);
        // A name the kernel guards is opened with O_CREAT, so that its guards still apply; should
        // that create the file (through a link), the run counts it as not its own.
        const bool shared = guarded(folder, name);
        fd = openat(folder, name, O_WRONLY | O_NONBLOCK | O_CLOEXEC | (shared ? O_CREAT : 0), 0666);
        if (fd >= 0 || errno != ENOENT)
            return done(fd);
        // Gone between the two opens (try again), or a link to a file that does not exist yet.
        char target[PATH_MAX];
        const ssize_t length = readlinkat(folder, name, target, sizeof target);
        if (length < 0 || length == static_cast<ssize_t>(sizeof target)) {
            close_quietly(folder);
            continue;
        }
        close_quietly(base);
        base = folder;
        path.assign(target, static_cast<size_t>(length));
    }
    close_quietly(base);
    errno = ELOOP;
    return -1;
}

// Removes the file this run created while its name, in the folder it was opened in, still leads to
// the file this run opened; a name that now leads to another file, or to none, is left as it is.
bool remove_created(const Output& out)
{
    if (!out.created || out.folder < 0)
        return true;
    if (!out.id.known) {
        errno = out.id.error;
        return false;
    }
    struct stat now;
    if (fstatat(out.folder, out.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (static_cast<unsigned long long>(now.st_dev) != out.id.volume ||
        static_cast<unsigned long long>(now.st_ino) != out.id.index)
        return true;
    return unlinkat(out.folder, out.name.c_str(), 0) == 0;
}
}  // namespace

bool open_output(Output& out)
{
    int fd = open_named(out);
    if (fd < 0) {
        if (errno == ENXIO) {
            // A pipe no program reads from yet; anything else that cannot be opened keeps its reason.
            struct stat info;
            if (stat(out.path, &info) == 0 && S_ISFIFO(info.st_mode))
                errno = EPIPE;
            else
                errno = ENXIO;
        }
        return false;
    }
    struct stat info;
    out.id = identity(fstat(fd, &info), info);
    // Writes wait for a slow reader again, as they do on a pipe opened the ordinary way.
    const int flags = fcntl(fd, F_GETFL);
    bool ok = flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1;
    if (ok && fd <= STDERR_FILENO) {
        // One of the standard descriptors was closed; leave it closed for the tool.
        const int higher = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close_quietly(fd);
        fd = higher;
        ok = fd >= 0;
    }
    if (ok && (out.file = fdopen(fd, "wb")) != nullptr)
        return true;
    // Opened (and maybe created) but not usable: close it, and take back what was created.
    const int saved = errno;
    close_quietly(fd);
    remove_created(out);
    keep_output(out);
    errno = saved;
    return false;
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

void keep_output(Output& out)
{
    close_quietly(out.folder);
    out.folder = -1;
}

bool discard_output(Output& out)
{
    const bool removed = remove_created(out);
    const int saved = errno;
    if (out.file)
        std::fclose(out.file);  // nothing was written to it
    out.file = nullptr;
    keep_output(out);
    errno = saved;
    return removed;
}
