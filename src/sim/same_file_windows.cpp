// Whether two paths name one file, on Windows: the same volume and file index (the C library's
// stat has no inode numbers there).
#include "sim/same_file.h"

#include <cstring>
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
}  // namespace

bool same_file(const char* a, const char* b)
{
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (std::strcmp(a, b) == 0)
        return true;
    return identify(a, ia) && identify(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}
