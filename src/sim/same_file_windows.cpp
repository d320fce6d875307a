// quorva-sim's output files on Windows: C library descriptors over file handles, volume serial
// numbers and file indexes (the C library's stat has no inode numbers there); a file a refused run
// created is removed through the handle it was opened with.
#include "sim/same_file.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <winternl.h>

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
        id.size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        id.modified = static_cast<long long>(
            (static_cast<unsigned long long>(info.ftLastWriteTime.dwHighDateTime) << 32) |
            info.ftLastWriteTime.dwLowDateTime);
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

// Opens `path` for writing, creating it where nothing of that name exists (then with the right to
// remove it, so that a refused run can take back what it created without looking its name up
// again) and otherwise opening what is there; whether it created the file, the open itself tells.
// A name that exists but leads to no file (a link to a file that does not exist yet) is opened
// creating its target, which counts as created. Returns INVALID_HANDLE_VALUE with errno set.
HANDLE open_handle(const char* path, bool& created)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD normal = FILE_ATTRIBUTE_NORMAL;
    HANDLE file = CreateFileA(path, GENERIC_WRITE | DELETE, share, nullptr, CREATE_NEW, normal, nullptr);
    created = file != INVALID_HANDLE_VALUE;
    if (!created && GetLastError() == ERROR_FILE_EXISTS) {
        file = CreateFileA(path, GENERIC_WRITE, share, nullptr, OPEN_EXISTING, normal, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
            file = CreateFileA(path, GENERIC_WRITE | DELETE, share, nullptr, OPEN_ALWAYS, normal, nullptr);
            created = file != INVALID_HANDLE_VALUE;
        }
    }
    if (file == INVALID_HANDLE_VALUE)
        errno = error_number(GetLastError());
    return file;
}

using SetInformation = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, FILE_INFORMATION_CLASS);

// Removes the file that `handle` was opened on when this run created it: it goes when the handle is
// closed, whatever its name leads to by then. Through ntdll.dll (always loaded, not loaded here),
// since the same call in kernel32.dll came only with Vista.
bool remove_created(bool created, HANDLE handle)
{
    if (!created)
        return true;
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const FARPROC found = ntdll ? GetProcAddress(ntdll, "NtSetInformationFile") : nullptr;
    const auto set_information = reinterpret_cast<SetInformation>(reinterpret_cast<void (*)()>(found));
    BOOLEAN remove = TRUE;
    IO_STATUS_BLOCK io;
    const LONG status = set_information ? set_information(handle, &io, &remove, sizeof remove, FileDispositionInformation)
                                        : static_cast<LONG>(0xC0000002);  // not implemented
    if (status >= 0)
        return true;
    // Access refused, or a file that cannot be removed (read-only); anything else as an I/O error.
    errno = status == static_cast<LONG>(0xC0000022) || status == static_cast<LONG>(0xC0000121) ? EACCES : EIO;
    return false;
}
}  // namespace

bool open_output(Output& out)
{
    const HANDLE handle = open_handle(out.path, out.created);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    out.id = identity(handle, ERROR_INVALID_HANDLE);
    const int opened = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    const int fd = above_standard(opened);
    out.file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (out.file)
        return true;
    // Opened (and maybe created) but not usable: take back what was created, and close it.
    const int saved = errno;
    if (opened < 0) {
        remove_created(out.created, handle);
        CloseHandle(handle);
    } else if (fd >= 0) {
        remove_created(out.created, reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
        _close(fd);
    }
    errno = saved;
    return false;
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

void keep_output(Output&) {}

bool discard_output(Output& out)
{
    const bool removed = remove_created(out.created, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out.file))));
    const int saved = errno;
    std::fclose(out.file);  // nothing was written to it
    out.file = nullptr;
    errno = saved;
    return removed;
}
