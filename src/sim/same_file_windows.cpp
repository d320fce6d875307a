// quorva-sim's output files on Windows: C library descriptors over file handles, volume serial
// numbers and file indexes (the C library's stat has no inode numbers there).
#include "sim/same_file.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {
// The errno value for why a file's identity could not be read. A name that cannot name any file
// (no such file or folder, no such drive, a malformed name) counts as no such file; a refused
// access as EACCES; anything else as an input/output error.
int error_number(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    default:
        return EIO;
    }
}

// The identity of an open handle; an invalid one failed to open with `open_error`.
FileId identity(HANDLE handle, DWORD open_error)
{
    FileId id;
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE) {
        id.error = error_number(open_error);
    } else if (!GetFileInformationByHandle(handle, &info)) {
        id.error = error_number(GetLastError());
    } else {
        id.known = true;
        id.volume = info.dwVolumeSerialNumber;
        id.index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    return id;
}

// The same file on a descriptor above the standard three; `fd` itself is closed.
int above_standard(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int higher = above_standard(_dup(fd));
    const int saved = errno;
    _close(fd);
    errno = saved;
    return higher;
}
}  // namespace

FILE* open_output(const char* path, bool& created)
{
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
        created = false;
    } else {
        const int error = error_number(GetLastError());
        if (error != ENOENT) {
            errno = error;
            return nullptr;
        }
        created = true;
    }
    const int opened = _open(path, _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (opened < 0)
        return nullptr;
    const int fd = above_standard(opened);
    FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (!file) {
        // Opened (and maybe created) but not usable: close it, and take back what was created.
        const int saved = errno;
        if (fd >= 0)
            _close(fd);
        if (created)
            remove_output(path);
        errno = saved;
    }
    return file;
}

FileId identity_of(FILE* file)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return identity(handle, ERROR_INVALID_HANDLE);
}

FileId identity_of(const char* path)
{
    const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const FileId id = identity(file, GetLastError());
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return id;
}

bool empty_output(FILE* file)
{
    const int fd = _fileno(file);
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return GetFileType(handle) != FILE_TYPE_DISK || _chsize(fd, 0) == 0;
}

bool remove_output(const char* path)
{
    // Opened through any link to the file itself, which goes when this handle is closed: DeleteFile
    // would remove a symbolic link and leave the file it created behind.
    const HANDLE file = CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE && CloseHandle(file))
        return true;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    return false;
}
