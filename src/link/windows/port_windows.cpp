// Port backend for 32-bit Windows on x86: in/out instructions where a guarded status read shows
// they are allowed (Windows 9x/ME, or a giveio driver), otherwise the functions of InpOut32's DLL.
// Either way only ports that Windows does not list as another device's are used, one run at a time.
#include "link/port_io.h"
#include "link/decisions/port_owner.h"
#include "link/windows/devices_windows.h"
#include "link/x86_io.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <windows.h>

static_assert(sizeof(void*) == 4, "the Windows port backend is written for 32-bit Windows (x86)");

namespace {
HANDLE port_driver = INVALID_HANDLE_VALUE;  // the driver's device, open until the process ends
HANDLE port_turn = nullptr;                 // the port's mutex, owned until the process ends
char refusal[160];                          // a reason built with an error number
const void* probe_address = nullptr;        // the guarded `in` instruction while the probe runs
volatile LONG probe_refused = 0;            // set by the handler when that instruction faulted

// Windows NT and later raise a privileged-instruction exception for a port instruction the
// process has no right to (wine raises the same); an access violation there is taken as a refusal
// too. Only a fault at the probe's own instruction is taken: it is skipped (`in al,dx` is one byte
// long) and recorded; anything else goes on to the next handler as usual.
LONG CALLBACK on_probe_fault(EXCEPTION_POINTERS* info)
{
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if ((code != EXCEPTION_PRIV_INSTRUCTION && code != EXCEPTION_ACCESS_VIOLATION) || !probe_address ||
        info->ExceptionRecord->ExceptionAddress != probe_address)
        return EXCEPTION_CONTINUE_SEARCH;
    info->ContextRecord->Eip += 1;
    probe_refused = 1;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// One read of `port` that records its own address first, so that the handler knows it.
void guarded_read(uint16_t port)
{
    uint8_t value = 0;
    asm volatile("movl $1f, %1\n\t"
                 "1: inb %%dx, %%al"
                 : "+a"(value), "=m"(probe_address)
                 : "d"(port)
                 : "memory");
}

using AddHandler = PVOID(WINAPI*)(ULONG, PVECTORED_EXCEPTION_HANDLER);
using RemoveHandler = ULONG(WINAPI*)(PVOID);
using DriverOpen = BOOL(WINAPI*)();
using PortWrite = void(WINAPI*)(USHORT, UCHAR);
using PortRead = UCHAR(WINAPI*)(USHORT);

template <typename Function>
Function find_function(HMODULE module, const char* name)
{
    const FARPROC found = GetProcAddress(module, name);
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

void WINAPI instruction_write(USHORT port, UCHAR value) { x86_out(port, value); }
UCHAR WINAPI instruction_read(USHORT port) { return x86_in(port); }

// What write_port and read_port call: the instructions themselves, or InpOut32's functions once
// that route is taken. Either way one port access is one call.
PortWrite port_write = instruction_write;
PortRead port_read = instruction_read;

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
    const char path[] = "SYSTEM\\CurrentControlSet\\Control\\DeviceGuard\\Scenarios\\HypervisorEnforcedCodeIntegrity";
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, value = 0, size = sizeof value;
    const LONG read = RegQueryValueExA(key, "Enabled", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    const LONG closed = RegCloseKey(key);
    return read == ERROR_SUCCESS && closed == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value && value == 1;
}

// Windows NT and later without giveio: InpOut32 (from the program's own folder, else the system
// folder) reaches the ports through its own driver. Loaded at run time, so that the program
// starts without it. Returns nullptr when its functions now serve the ports, else the reason.
const char* take_inpout(bool giveio_open)
{
    const DWORD got = GetModuleFileNameW(nullptr, dll_path, PATH_ROOM);
    const wchar_t* cut = got > 0 && got < PATH_ROOM ? std::wcsrchr(dll_path, L'\\') : nullptr;
    HMODULE dll = load_inpout(cut ? static_cast<size_t>(cut - dll_path) : 0);
    if (!dll) {
        const UINT length = GetSystemDirectoryW(dll_path, PATH_ROOM);
        dll = load_inpout(length < PATH_ROOM ? length : 0);
    }
    if (!dll)
        return giveio_open ? "the giveio driver did not open the ports: run as administrator and check the driver, "
                             "or put inpout32.dll (InpOut32) beside quorva.exe"
                           : "port instructions are refused: put inpout32.dll (InpOut32) beside quorva.exe and run it "
                             "once as administrator; on 32-bit Windows NT to XP a giveio driver also works";
    const auto driver_open = find_function<DriverOpen>(dll, "IsInpOutDriverOpen");
    const auto write = find_function<PortWrite>(dll, "DlPortWritePortUchar");
    const auto read = find_function<PortRead>(dll, "DlPortReadPortUchar");
    const bool complete = driver_open && write && read;
    if (!complete || !driver_open()) {
        FreeLibrary(dll);
        return !complete ? "inpout32.dll is not InpOut32 (IsInpOutDriverOpen, DlPortReadPortUchar or "
                           "DlPortWritePortUchar missing): replace it with InpOut32's own"
               : memory_integrity_on() ? "inpout32.dll could not open its driver: Windows' Memory integrity (Core "
                                         "isolation) is on and blocks it (PORT-ACCESS.txt tells what to do)"
                                       : "inpout32.dll could not open its driver: run quorva.exe once as administrator "
                                         "to install it";
    }
    port_write = write;
    port_read = read;
    return nullptr;
}

const char* refuse_with_error(const char* what, DWORD error)
{
    std::snprintf(refusal, sizeof refusal, "%s (error %lu)", what, static_cast<unsigned long>(error));
    return refusal;
}

// The security functions, looked up at run time: Windows 95 and 98 load a program only when
// every function it imports is exported, and they need none of these (their mutex has no security).
using OpenToken = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
using TokenInformation = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
using AllocateSid = BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                  DWORD, PSID*);
using ReleaseSid = PVOID(WINAPI*)(PSID);
using StartAcl = BOOL(WINAPI*)(PACL, DWORD, DWORD);
using AllowAce = BOOL(WINAPI*)(PACL, DWORD, DWORD, PSID);
using StartDescriptor = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD);
using SetDacl = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);

// The mutex's security: Everyone may wait for it and release it, and nothing more (not change
// its security, which would shut every later run out); the user who creates it keeps every right.
// Points `attributes` at the descriptor; returns nullptr, else why it could not be built.
const char* describe_turn(SECURITY_ATTRIBUTES& attributes)
{
    static SECURITY_DESCRIPTOR descriptor;
    static DWORD acl_room[256], user_room[64];
    static SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    ACL* const acl = reinterpret_cast<ACL*>(acl_room);
    TOKEN_USER* const user = reinterpret_cast<TOKEN_USER*>(user_room);
    PSID everyone = nullptr;
    HANDLE token = nullptr;
    DWORD length = 0;
    // advapi32.dll is already loaded: the registry functions are imported from it.
    const HMODULE advapi = GetModuleHandleA("advapi32.dll");
    const auto open_token = find_function<OpenToken>(advapi, "OpenProcessToken");
    const auto token_information = find_function<TokenInformation>(advapi, "GetTokenInformation");
    const auto allocate_sid = find_function<AllocateSid>(advapi, "AllocateAndInitializeSid");
    const auto free_sid = find_function<ReleaseSid>(advapi, "FreeSid");
    const auto start_acl = find_function<StartAcl>(advapi, "InitializeAcl");
    const auto allow = find_function<AllowAce>(advapi, "AddAccessAllowedAce");
    const auto start_descriptor = find_function<StartDescriptor>(advapi, "InitializeSecurityDescriptor");
    const auto set_dacl = find_function<SetDacl>(advapi, "SetSecurityDescriptorDacl");
    if (!advapi || !open_token || !token_information || !allocate_sid || !free_sid || !start_acl || !allow ||
        !start_descriptor || !set_dacl)
        return "the port's mutex cannot be given its security (advapi32.dll lacks the security functions)";
    const char* failed = !open_token(GetCurrentProcess(), TOKEN_QUERY, &token) ? "OpenProcessToken"
        : !token_information(token, TokenUser, user, sizeof user_room, &length)    ? "GetTokenInformation"
        : !allocate_sid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone) ? "AllocateAndInitializeSid"
        : !start_acl(acl, sizeof acl_room, ACL_REVISION)                           ? "InitializeAcl"
        : !allow(acl, ACL_REVISION, SYNCHRONIZE | MUTEX_MODIFY_STATE, everyone)    ? "AddAccessAllowedAce"
        : !allow(acl, ACL_REVISION, MUTEX_ALL_ACCESS, user->User.Sid)              ? "AddAccessAllowedAce"
        : !start_descriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)             ? "InitializeSecurityDescriptor"
        : !set_dacl(&descriptor, TRUE, acl, FALSE)                                 ? "SetSecurityDescriptorDacl"
                                                                                   : nullptr;
    const DWORD error = GetLastError();
    if (everyone)
        free_sid(everyone);
    if (token && !CloseHandle(token) && !failed)
        failed = "CloseHandle";
    attributes = SECURITY_ATTRIBUTES{sizeof attributes, &descriptor, FALSE};
    if (!failed)
        return nullptr;
    std::snprintf(refusal, sizeof refusal, "the port's mutex cannot be given its security (%s: error %lu)", failed,
                  static_cast<unsigned long>(error));
    return refusal;
}

// Waits until no other quorva uses the port, and keeps it so until this process ends: one named
// mutex per base address, in the namespace every session shares. Nothing claims the port on
// Windows, so without it two runs would interleave their accesses. The system releases the mutex
// when the process ends, however it ends; a holder that died leaves it abandoned, and then it is
// ours. Windows 95/98/ME have no such namespace (and no security): there the plain name serves.
// On NT and later any failure refuses the run, rather than going on unguarded under another name.
// Another user's run may only wait and release, so an existing mutex is opened for just that.
// After a second of waiting the user is told once why nothing happens.
// Returns nullptr once the port is ours, else the reason.
const char* take_turn(uint16_t first_port)
{
    if (port_turn)
        return nullptr;
    const bool windows_9x = (GetVersion() & 0x80000000u) != 0;
    char name[40];
    std::snprintf(name, sizeof name, "%squorva-port-0x%04X", windows_9x ? "" : "Global\\", static_cast<unsigned>(first_port));
    SECURITY_ATTRIBUTES attributes;
    if (!windows_9x)
        if (const char* problem = describe_turn(attributes))
            return problem;
    HANDLE mutex = CreateMutexA(windows_9x ? nullptr : &attributes, FALSE, name);
    DWORD error = mutex ? 0 : GetLastError();
    bool none = false;  // no object of that name, yet creating it was denied
    if (!mutex && error == ERROR_ACCESS_DENIED) {
        // Another user's mutex: opened for waiting and releasing only. When there is none, this
        // process may not create one in the shared namespace (one of low integrity, for example).
        mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
        const DWORD opened = mutex ? 0 : GetLastError();
        none = opened == ERROR_FILE_NOT_FOUND;
        error = none ? error : opened;
    }
    if (!mutex) {
        std::snprintf(refusal, sizeof refusal, "the port's mutex %s %s: error %lu", name,
                      none                            ? "cannot be created"
                      : error == ERROR_ACCESS_DENIED  ? "is held by another program that shuts quorva out"
                      : error == ERROR_INVALID_HANDLE ? "is taken by another program's object that is not a mutex"
                                                      : "cannot be created",
                      static_cast<unsigned long>(error));
        return refusal;
    }
    DWORD waited = WaitForSingleObject(mutex, 1000);
    if (waited == WAIT_TIMEOUT) {
        std::fprintf(stderr, "quorva: waiting for port 0x%X: another quorva run is using it\n", static_cast<unsigned>(first_port));
        std::fflush(stderr);
        waited = WaitForSingleObject(mutex, INFINITE);
    }
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        error = waited == WAIT_FAILED ? GetLastError() : waited;
        CloseHandle(mutex);
        return refuse_with_error("waiting for the port's mutex failed", error);
    }
    port_turn = mutex;
    return nullptr;
}

// Reads the status port once with the fault handler in place; true when the read was refused.
// Vectored handlers (Windows XP and later) are looked up at run time, so that the program still
// loads on older systems; those get the handler as the unhandled-exception filter instead.
bool status_read_refused(uint16_t status_port)
{
    probe_refused = 0;
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const auto add = find_function<AddHandler>(kernel, "AddVectoredExceptionHandler");
    const auto remove = find_function<RemoveHandler>(kernel, "RemoveVectoredExceptionHandler");
    if (PVOID handler = add && remove ? add(1, on_probe_fault) : nullptr) {
        guarded_read(status_port);
        remove(handler);
    } else {
        const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(on_probe_fault);
        guarded_read(status_port);
        SetUnhandledExceptionFilter(previous);
    }
    probe_address = nullptr;
    return probe_refused != 0;
}
}  // namespace

// Neither the instructions nor InpOut32's functions report a failure: every access is made.
bool write_port(uint16_t port, uint8_t value)
{
    port_write(port, value);
    return true;
}

int read_port(uint16_t port)
{
    return port_read(port);
}

const char* port_failure()
{
    return nullptr;
}

namespace {
// The way to the port: its owner, its turn, then the route; nullptr when the ports may be used.
const char* acquire(uint16_t first_port)
{
    // Whom the three ports belong to, before any of them is touched: a mistyped address must not
    // reach a disk controller or the reset register, and Windows lets every port through.
    std::vector<DeviceInfo> devices;
    bool listed = false;
    if (const char* problem = read_windows_devices(devices, listed))
        return problem;
    if (const char* owner = port_owner_refusal(first_port, listed ? &devices : nullptr))
        return owner;

    // Another quorva on this port first ends its download: before this process touches the port.
    if (const char* reason = take_turn(first_port))
        return reason;

    // Opening giveio's device gives this process the ports. Some drivers of that kind take them
    // back when the handle is closed, so it stays open until the process ends.
    if (port_driver == INVALID_HANDLE_VALUE)
        port_driver = CreateFileA("\\\\.\\giveio", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);

    // Windows 95/98/ME allow port instructions to every program; on NT and later the probe
    // shows whether a driver has opened them for this process, and when none has, InpOut32 is next.
    if (!status_read_refused(static_cast<uint16_t>(first_port + 1)))
        return nullptr;
    return take_inpout(port_driver != INVALID_HANDLE_VALUE);
}
}  // namespace

std::string acquire_ports(uint16_t first_port)
{
    const char* refused = acquire(first_port);
    return refused ? refused : "";
}
