// The port's mutex: its name, its security (built with functions looked up at run time), the wait
// for it with its one line on standard error, and a name another program has taken first.
#include "link/windows/port_mutex.h"

#include "link/text.h"
#include "link/windows/dll_lookup.h"

#include <cstdio>
#include <windows.h>

namespace {
HANDLE port_turn = nullptr;  // the port's mutex, owned until the process ends

// The security functions, looked up at run time: Windows 95 and 98 load a program only when
// every function it imports is exported, and they need none of these (their mutex has no security).
using OpenToken = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
using TokenInformation = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
using AllocateSid = BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                  DWORD, DWORD, PSID*);
using ReleaseSid = PVOID(WINAPI*)(PSID);
using StartAcl = BOOL(WINAPI*)(PACL, DWORD, DWORD);
using AllowAce = BOOL(WINAPI*)(PACL, DWORD, DWORD, PSID);
using StartDescriptor = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD);
using SetDacl = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);

// The mutex's security: Everyone may wait for it and release it, and nothing more (not change
// its security, which would shut every later run out); the user who creates it keeps every right.
// Points `attributes` at the descriptor; returns an empty text, else why it could not be built.
std::string describe_turn(SECURITY_ATTRIBUTES& attributes)
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
    OpenToken open_token;
    TokenInformation token_information;
    AllocateSid allocate_sid;
    ReleaseSid free_sid;
    StartAcl start_acl;
    AllowAce allow;
    StartDescriptor start_descriptor;
    SetDacl set_dacl;
    if (!dll_lookup(advapi, "OpenProcessToken", open_token) ||
        !dll_lookup(advapi, "GetTokenInformation", token_information) ||
        !dll_lookup(advapi, "AllocateAndInitializeSid", allocate_sid) ||
        !dll_lookup(advapi, "FreeSid", free_sid) || !dll_lookup(advapi, "InitializeAcl", start_acl) ||
        !dll_lookup(advapi, "AddAccessAllowedAce", allow) ||
        !dll_lookup(advapi, "InitializeSecurityDescriptor", start_descriptor) ||
        !dll_lookup(advapi, "SetSecurityDescriptorDacl", set_dacl))
        return "the port's mutex cannot be given its security (advapi32.dll lacks the security functions)";
    // The first call that fails, in the order they are made.
    const char* failed = nullptr;
    if (!open_token(GetCurrentProcess(), TOKEN_QUERY, &token))
        failed = "OpenProcessToken";
    else if (!token_information(token, TokenUser, user, sizeof user_room, &length))
        failed = "GetTokenInformation";
    else if (!allocate_sid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
        failed = "AllocateAndInitializeSid";
    else if (!start_acl(acl, sizeof acl_room, ACL_REVISION))
        failed = "InitializeAcl";
    else if (!allow(acl, ACL_REVISION, SYNCHRONIZE | MUTEX_MODIFY_STATE, everyone) ||
             !allow(acl, ACL_REVISION, MUTEX_ALL_ACCESS, user->User.Sid))
        failed = "AddAccessAllowedAce";
    else if (!start_descriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION))
        failed = "InitializeSecurityDescriptor";
    else if (!set_dacl(&descriptor, TRUE, acl, FALSE))
        failed = "SetSecurityDescriptorDacl";
    const DWORD error = GetLastError();
    if (everyone)
        free_sid(everyone);
    if (token && !CloseHandle(token) && !failed)
        failed = "CloseHandle";
    attributes = SECURITY_ATTRIBUTES{sizeof attributes, &descriptor, FALSE};
    if (!failed)
        return "";
    return text_printf("the port's mutex cannot be given its security (%s: error %lu)", failed,
                       static_cast<unsigned long>(error));
}
}  // namespace

// One named mutex per base address, in the namespace every session shares. Nothing claims the port
// on Windows, so without it two runs would interleave their accesses. The system releases the
// mutex when the process ends, however it ends; a holder that died leaves it abandoned, and then it
// is ours. Windows 95/98/ME have no such namespace (and no security): there the plain name serves.
// On NT and later any failure refuses the run, rather than going on unguarded under another name.
// Another user's run may only wait and release, so an existing mutex is opened for just that.
// After a second of waiting the user is told once why nothing happens.
std::string take_turn(uint16_t first_port)
{
    if (port_turn)
        return "";
    const bool windows_9x = (GetVersion() & 0x80000000u) != 0;
    const std::string name =
        text_printf("%squorva-port-0x%04X", windows_9x ? "" : "Global\\", static_cast<unsigned>(first_port));
    SECURITY_ATTRIBUTES attributes;
    if (!windows_9x) {
        const std::string problem = describe_turn(attributes);
        if (!problem.empty())
            return problem;
    }
    HANDLE mutex = CreateMutexA(windows_9x ? nullptr : &attributes, FALSE, name.c_str());
    DWORD error = mutex ? 0 : GetLastError();
    bool none = false;  // no object of that name, yet creating it was denied
    if (!mutex && error == ERROR_ACCESS_DENIED) {
        // Another user's mutex: opened for waiting and releasing only. When there is none, this
        // process may not create one in the shared namespace (one of low integrity, for example).
        mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
        const DWORD opened = mutex ? 0 : GetLastError();
        none = opened == ERROR_FILE_NOT_FOUND;
        error = none ? error : opened;
    }
    if (!mutex)
        return text_printf("the port's mutex %s %s: error %lu", name.c_str(),
                           none                           ? "cannot be created"
                           : error == ERROR_ACCESS_DENIED ? "is held by another program that shuts quorva out"
                           : error == ERROR_INVALID_HANDLE
                               ? "is taken by another program's object that is not a mutex"
                               : "cannot be created",
                           static_cast<unsigned long>(error));
    DWORD waited = WaitForSingleObject(mutex, 1000);
    if (waited == WAIT_TIMEOUT) {
        std::fprintf(stderr, "quorva: waiting for port 0x%X: another quorva run is using it\n",
                     static_cast<unsigned>(first_port));
        std::fflush(stderr);
        waited = WaitForSingleObject(mutex, INFINITE);
    }
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        error = waited == WAIT_FAILED ? GetLastError() : waited;
        CloseHandle(mutex);
        return text_printf("waiting for the port's mutex failed (error %lu)",
                           static_cast<unsigned long>(error));
    }
    port_turn = mutex;
    return "";
}
