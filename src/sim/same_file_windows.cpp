// quorva-sim's output files on Windows: C library descriptors over file handles, volume serial
// numbers and file indexes (the C library's stat has no inode numbers there); a regular output is
// made under a temporary name of its own and moved to its name only when the run goes on.
#include "sim/same_file.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <winternl.h>

namespace {
// Others may read, write, rename or delete a file while it is open here, as on POSIX.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    default: return EIO;
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

// For a name that leads to no file: the folder where it would be made and the name there,
// upper-cased (ASCII letters) since Windows tells no names apart by case. Left unknown where that
// folder cannot be opened (Windows 9x opens no folders). A name that is in its folder all the same
// is a link to no file, which may end at any name.
void find_place(FileId& id, const char* path)
{
    WIN32_FIND_DATAA entry;
    const HANDLE found_entry = FindFirstFileA(path, &entry);
    id.anywhere = found_entry != INVALID_HANDLE_VALUE;
    if (id.anywhere) {
        FindClose(found_entry);
        return;
    }
    char full[MAX_PATH];
    char* last = nullptr;
    const DWORD length = GetFullPathNameA(path, sizeof full, full, &last);
    if (length == 0 || length >= sizeof full || !last || !*last)
        return;
    std::string name = last;
    *last = '\0';
    const HANDLE folder =
        CreateFileA(full, 0, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const FileId found = identity(folder, GetLastError());
    if (folder != INVALID_HANDLE_VALUE)
        CloseHandle(folder);
    if (!found.known)
        return;
    for (char& c : name)
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    id.folder = found;
    id.name = name;
}

// The stream of an output on `handle`, on a descriptor above the standard three; the handle is
// closed on failure. Returns nullptr with errno.
FILE* stream_of(HANDLE handle)
{
    const int opened = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (opened < 0)
        CloseHandle(handle);
    const int fd = above_standard(opened);
    FILE* const file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (!file && fd >= 0)
        _close(fd);
    return file;
}

using SetInformation = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, FILE_INFORMATION_CLASS);

// Removes the file that `handle` was opened on (with the right to): it goes when the handle is
// closed, whatever its name leads to by then. Through ntdll.dll (always loaded, not loaded here),
// since the same call in kernel32.dll came only with Vista.
bool remove_file(HANDLE handle)
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const FARPROC found = ntdll ? GetProcAddress(ntdll, "NtSetInformationFile") : nullptr;
    const auto set_information = reinterpret_cast<SetInformation>(reinterpret_cast<void (*)()>(found));
    BOOLEAN remove = TRUE;
    IO_STATUS_BLOCK io;
    const LONG status = set_information
                            ? set_information(handle, &io, &remove, sizeof remove, FileDispositionInformation)
                            : static_cast<LONG>(0xC0000002);  // not implemented
    if (status >= 0)
        return true;
    // Access refused, or a file that cannot be removed (read-only); anything else as an I/O error.
    errno = status == static_cast<LONG>(0xC0000022) || status == static_cast<LONG>(0xC0000121) ? EACCES : EIO;
    return false;
}

// Moves `from` to `to`, replacing a file there. Windows 9x has no replacing move (its MoveFileExA
// fails as not implemented): there the file the checks found at the name is deleted first.
bool move_replacing(const char* from, const char* to)
{
    using MoveFunction = BOOL(WINAPI*)(LPCSTR, LPCSTR, DWORD);
    const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    const FARPROC found = kernel32 ? GetProcAddress(kernel32, "MoveFileExA") : nullptr;
    const auto move = reinterpret_cast<MoveFunction>(reinterpret_cast<void (*)()>(found));
    if (move && move(from, to, MOVEFILE_REPLACE_EXISTING))
        return true;
    if (move && GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
        return false;
    if (MoveFileA(from, to))
        return true;
    const DWORD error = GetLastError();
    return (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) && DeleteFileA(to) &&
           MoveFileA(from, to);
}
}  // namespace

bool open_output(Output& out)
{
    // What is at the name is opened as it is, without emptying it; nothing is created.
    const HANDLE handle = CreateFileA(out.path, GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
        // Nothing there: a regular output, made only when the run goes on.
        out.id.error = ENOENT;
        find_place(out.id, out.path);
        return true;
    }
    if (handle == INVALID_HANDLE_VALUE) {
        errno = error_number(GetLastError());
        return false;
    }
    out.id = identity(handle, ERROR_INVALID_HANDLE);
    out.direct = !out.id.known || GetFileType(handle) != FILE_TYPE_DISK;
    if (!out.direct) {
        CloseHandle(handle);  // a file on a disk, never written: the run's own file takes its name
        return true;
    }
    out.file = stream_of(handle);
    return out.file != nullptr;
}

FileId identity_of(const char* path)
{
    const HANDLE file =
        CreateFileA(path, 0, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FileId id = identity(file, GetLastError());
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (id.error == ENOENT)
        find_place(id, path);
    return id;
}

bool make_output(Output& out)
{
    if (out.direct) {
        const int fd = _fileno(out.file);
        const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        return GetFileType(handle) != FILE_TYPE_DISK || _chsize(fd, 0) == 0;
    }
    // A name of its own beside the output's, which nothing else had: its folder, the process and a number.
    char full[MAX_PATH];
    char* last = nullptr;
    const DWORD length = GetFullPathNameA(out.path, sizeof full, full, &last);
    if (length == 0 || length >= sizeof full || !last) {
        errno = length == 0 ? error_number(GetLastError()) : ENAMETOOLONG;
        return false;
    }
    *last = '\0';
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int n = 0; handle == INVALID_HANDLE_VALUE && n < 100; ++n) {
        char number[32];
        std::snprintf(number, sizeof number, "~qsim%lx-%d.tmp",
                      static_cast<unsigned long>(GetCurrentProcessId()), n);
        out.temp = std::string(full) + number;
        handle = CreateFileA(out.temp.c_str(), GENERIC_WRITE | DELETE, SHARE_ALL, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (handle == INVALID_HANDLE_VALUE) {
        errno = error_number(GetLastError());
        out.temp.clear();
        return false;
    }
    out.file = stream_of(handle);
    if (!out.file) {
        const int saved = errno;
        DeleteFileA(out.temp.c_str());  // its own name, just made: nothing else can have it
        out.temp.clear();
        errno = saved;
    }
    return out.file != nullptr;
}

bool name_output(Output& out)
{
    if (!out.temp.empty() && !move_replacing(out.temp.c_str(), out.path)) {
        errno = error_number(GetLastError());
        return false;
    }
    out.temp.clear();
    return true;
}

bool discard_output(Output& out)
{
    if (!out.file)
        return true;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out.file)));
    const bool removed = out.temp.empty() || remove_file(handle);
    const int saved = errno;
    std::fclose(out.file);  // nothing was written to it
    out.file = nullptr;
    out.temp.clear();
    errno = saved;
    return removed;
}
