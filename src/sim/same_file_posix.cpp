// quorva-sim's output files on Linux: device and inode numbers, each output's folder held open
// while it is judged, and regular outputs made without a name (O_TMPFILE where the file system
// offers it) and given it by link or rename only when the run goes on.
#include "sim/same_file.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {
// Links followed before a lookup gives up, and temporary names tried in one folder.
const int MAX_STEPS = 40;
const int MAX_TEMPS = 100;

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

// Follows `name` in `folder` (left open) through its symbolic links to the name they end at, and
// returns that name's folder on a descriptor of its own, with `name` set to the name there; -1 with
// errno. Sets `in_proc` where a folder on the way is the kernel's /proc, whose links lead to open
// files (/dev/stdout, /dev/fd/N), not to names: those are not followed further.
int follow(int folder, std::string& name, bool& in_proc)
{
    int at = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    for (int step = 0; at >= 0 && step < MAX_STEPS; ++step) {
        struct statfs system;
        in_proc = in_proc || (fstatfs(at, &system) == 0 && system.f_type == PROC_SUPER_MAGIC);
        char target[PATH_MAX];
        const ssize_t length = in_proc ? -1 : readlinkat(at, name.c_str(), target, sizeof target);
        if (length < 0 && (in_proc || errno == EINVAL || errno == ENOENT))
            return at;  // no link (or none there): the end
        const bool whole = length >= 0 && length < static_cast<ssize_t>(sizeof target);
        if (length >= 0 && !whole)
            errno = ENAMETOOLONG;
        const int next = whole ? open_folder(at, std::string(target, static_cast<size_t>(length)), name) : -1;
        close_quietly(at);
        at = next;
    }
    if (at >= 0) {
        close(at);
        errno = ELOOP;
    }
    return -1;
}

// For a name in `folder` that leads to no file: where its links end, to be told from the image and
// the other output, which may end there too. Left unknown where that folder cannot be found.
void find_place(FileId& id, int folder, std::string name)
{
    bool in_proc = false;
    const int end = follow(folder, name, in_proc);
    struct stat info;
    if (end >= 0 && !name.empty() && fstat(end, &info) == 0) {
        const FileId found = identity(0, info);
        id.folder = found;
        id.name = name;
    }
    close_quietly(end);
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
    if (fstatat(folder, name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
        return errno != ENOENT;
    return entry.st_uid != geteuid() && entry.st_uid != info.st_uid;
}

// The stream of an output on `fd`, moved above the standard descriptors (one that was closed stays
// closed for the tool); `fd` is closed on failure. Returns nullptr with errno.
FILE* stream_of(int fd)
{
    if (fd >= 0 && fd <= STDERR_FILENO) {
        const int higher = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close_quietly(fd);
        fd = higher;
    }
    FILE* const file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (!file)
        close_quietly(fd);
    return file;
}

// A temporary name of this process's own for an output's file until it has its name, number `n`.
std::string temp_name(int n)
{
    return ".quorva-sim." + std::to_string(static_cast<long>(getpid())) + "." + std::to_string(n) + ".tmp";
}

// The name through which the kernel links the file open on `fd`.
std::string proc_link(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}
}  // namespace

bool open_output(Output& out)
{
    const std::string path = out.path;
    if (path.back() == '/') {
        // A name ending in a slash is no file to create or write: with O_CREAT the kernel opens
        // and creates nothing there, and only says why (a folder, or a missing one on the way).
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        close_quietly(fd);
        errno = fd >= 0 ? EISDIR : errno;
        return false;
    }
    out.folder = open_folder(AT_FDCWD, path, out.name);
    if (out.folder < 0)
        return false;
    // What is at the name is opened as it is (a name the kernel guards with O_CREAT, so that its
    // guards still apply), without waiting for a reader and without emptying it.
    const char* const name = out.name.c_str();
    const int create = guarded(out.folder, name) ? O_CREAT : 0;
    int fd = openat(out.folder, name, O_WRONLY | O_NONBLOCK | O_CLOEXEC | create, 0666);
    if (fd < 0 && errno == ENOENT) {
        // Nothing there, or a link to nothing: a regular output, made only when the run goes on.
        out.id.error = ENOENT;
        find_place(out.id, out.folder, out.name);
        return true;
    }
    if (fd < 0) {
        if (errno == ENXIO) {
            // A pipe no program reads from yet; anything else that cannot be opened keeps its reason.
            struct stat info;
            errno = stat(out.path, &info) == 0 && S_ISFIFO(info.st_mode) ? EPIPE : ENXIO;
        }
        return false;
    }
    struct stat info;
    out.id = identity(fstat(fd, &info), info);
    bool in_proc = false;
    std::string last = out.name;
    close_quietly(follow(out.folder, last, in_proc));
    out.direct = !out.id.known || !S_ISREG(info.st_mode) || in_proc;
    if (!out.direct) {
        close(fd);  // a regular file, never written: the run's own file takes its name
        return true;
    }
    // Writes wait for a slow reader again, as they do on a pipe opened the ordinary way.
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        close_quietly(fd);
        return false;
    }
    out.file = stream_of(fd);
    return out.file != nullptr;
}

FileId identity_of(const char* path)
{
    struct stat info;
    FileId id = identity(stat(path, &info), info);
    std::string name;
    const int folder = id.error == ENOENT ? open_folder(AT_FDCWD, path, name) : -1;
    if (folder >= 0)
        find_place(id, folder, name);
    close_quietly(folder);
    return id;
}

bool make_output(Output& out)
{
    if (out.direct) {
        struct stat info;
        const int fd = fileno(out.file);
        return fstat(fd, &info) == 0 && (!S_ISREG(info.st_mode) || ftruncate(fd, 0) == 0);
    }
    // A file without a name, where the file system offers one and /proc can give it its name later;
    // otherwise one under a temporary name of its own, which nothing else had.
    out.file = stream_of(openat(out.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (out.file && faccessat(AT_FDCWD, proc_link(fileno(out.file)).c_str(), F_OK, 0) != 0) {
        std::fclose(out.file);
        out.file = nullptr;
    }
    for (int n = 0; !out.file && n < MAX_TEMPS; ++n) {
        out.temp = temp_name(n);
        const int fd = openat(out.folder, out.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        out.file = stream_of(fd);
        if (!out.file && errno != EEXIST)
            break;
    }
    if (!out.file)
        out.temp.clear();
    return out.file != nullptr;
}

bool name_output(Output& out)
{
    if (!out.direct && out.temp.empty()) {
        // The file without a name takes the output's name where nothing has it; else a temporary
        // name first, and then the output's by a rename that replaces.
        const std::string link = proc_link(fileno(out.file));
        if (linkat(AT_FDCWD, link.c_str(), out.folder, out.name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno != EEXIST)
                return false;
            for (int n = 0; out.temp.empty() && n < MAX_TEMPS; ++n) {
                const std::string temp = temp_name(n);
                if (linkat(AT_FDCWD, link.c_str(), out.folder, temp.c_str(), AT_SYMLINK_FOLLOW) == 0)
                    out.temp = temp;
                else if (errno != EEXIST)
                    return false;
            }
            if (out.temp.empty())
                return false;
        }
    }
    if (!out.temp.empty() && renameat(out.folder, out.temp.c_str(), out.folder, out.name.c_str()) != 0)
        return false;
    out.temp.clear();
    close_quietly(out.folder);
    out.folder = -1;
    return true;
}

bool discard_output(Output& out)
{
    const bool removed = out.temp.empty() || unlinkat(out.folder, out.temp.c_str(), 0) == 0;
    const int saved = errno;
    if (out.file)
        std::fclose(out.file);  // nothing was written to it
    out.file = nullptr;
    out.temp.clear();
    close_quietly(out.folder);
    out.folder = -1;
    errno = saved;
    return removed;
}
