// Windows NT and later without giveio: InpOut32 (from the program's own folder, else the system
// folder) reaches the ports through its own driver. Loaded at run time, so that the program
// starts without it.
#include "link/windows/inpout32.h"

#include "link/windows/dll_lookup.h"

#include <cstring>
#include <cwchar>

namespace {
using DriverOpen = BOOL(WINAPI*)();

// Room for the longest path Windows knows, so that no folder name is cut short.
constexpr DWORD PATH_ROOM = 32768;
wchar_t dll_path[PATH_ROOM];

// Loads inpout32.dll from the folder whose path fills the first `length` characters of dll_path
// (0 when that folder is unknown), always by its full path: a bare name would also search the
// current directory and PATH, where a planted DLL would run with the user's rights. Wide
// characters throughout, so that a folder named outside the ANSI code page is found as it is.
HMODULE load_inpout(size_t length)
{
    static const wchar_t name[] = L"\\inpout32.dll";
    if (length == 0 || length + sizeof name / sizeof name[0] > PATH_ROOM)
        return nullptr;
    std::memcpy(dll_path + length, name, sizeof name);
    return LoadLibraryW(dll_path);
}

// Whether Windows says that Memory integrity (Core isolation's hypervisor-enforced code integrity)
// is on: it keeps InpOut32's driver from loading, and no run as administrator changes that. A key
// or value that cannot be read, or is not the DWORD Windows writes, counts as not known.
bool memory_integrity_on()
{
    const char path[] =
        "SYSTEM\\CurrentControlSet\\Control\\DeviceGuard\\Scenarios\\"
        "HypervisorEnforcedCodeIntegrity";
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, value = 0, size = sizeof value;
    const LONG read =
        RegQueryValueExA(key, "Enabled", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    const LONG closed = RegCloseKey(key);
    return read == ERROR_SUCCESS && closed == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value &&
           value == 1;
}
}  // namespace

std::string take_inpout(bool giveio_open, PortWrite& write, PortRead& read)
{
    const DWORD got = GetModuleFileNameW(nullptr, dll_path, PATH_ROOM);
    const wchar_t* cut = got > 0 && got < PATH_ROOM ? std::wcsrchr(dll_path, L'\\') : nullptr;
    HMODULE dll = load_inpout(cut ? static_cast<size_t>(cut - dll_path) : 0);
    if (!dll) {
        const UINT length = GetSystemDirectoryW(dll_path, PATH_ROOM);
        dll = load_inpout(length < PATH_ROOM ? length : 0);
    }
    if (!dll)
        return giveio_open ? "the giveio driver did not open the ports: run as administrator and check the "
                             "driver, or put inpout32.dll (InpOut32) beside quorva.exe"
                           : "port instructions are refused: put inpout32.dll (InpOut32) beside quorva.exe "
                             "and run it once as administrator; on 32-bit Windows NT to XP a giveio driver "
                             "also works";
    DriverOpen driver_open;
    PortWrite found_write;
    PortRead found_read;
    const bool complete = dll_lookup(dll, "IsInpOutDriverOpen", driver_open) &&
                          dll_lookup(dll, "DlPortWritePortUchar", found_write) &&
                          dll_lookup(dll, "DlPortReadPortUchar", found_read);
    if (!complete || !driver_open()) {
        FreeLibrary(dll);
        return !complete ? "inpout32.dll is not InpOut32 (IsInpOutDriverOpen, DlPortReadPortUchar or "
                           "DlPortWritePortUchar missing): replace it with InpOut32's own"
               : memory_integrity_on() ? "inpout32.dll could not open its driver: Windows' Memory integrity "
                                         "(Core isolation) is on and blocks it (PORT-ACCESS.txt tells what "
                                         "to do)"
                                       : "inpout32.dll could not open its driver: run quorva.exe once as "
                                         "administrator to install it";
    }
    write = found_write;
    read = found_read;
    return "";
}
