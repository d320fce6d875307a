// Whether two paths name one file, on Windows: the same volume and file index (the C library's
// stat has no inode numbers there), or, for a file that does not exist yet, the same full path.
#include "sim/same_file.h"

#include <windows.h>

namespace {
// The file's identity, or false when it cannot be opened (for example because it does not exist).
bool identify(const char* path, BY_HANDLE_FILE_INFORMATION& info)
{
    const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return known;
}

// Whether the two paths, made absolute, are the same text but for the case of letters.
bool same_full_path(const char* a, const char* b)
{
    char full_a[MAX_PATH], full_b[MAX_PATH];
    const DWORD length_a = GetFullPathNameA(a, MAX_PATH, full_a, nullptr);
    const DWORD length_b = GetFullPathNameA(b, MAX_PATH, full_b, nullptr);
    if (length_a == 0 || length_a >= MAX_PATH || length_b == 0 || length_b >= MAX_PATH)
        return lstrcmpiA(a, b) == 0;
    return lstrcmpiA(full_a, full_b) == 0;
}
}  // namespace

bool same_file(const char* a, const char* b)
{
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (identify(a, ia) && identify(b, ib))
        return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
               ia.nFileIndexLow == ib.nFileIndexLow;
    return same_full_path(a, b);
}
