// A fake cfgmgr32.dll for the Windows tests under wine: the configuration manager's calls that
// quorva.exe makes, answered from a device tree in a data file (tests/data/devtree.txt, whose first
// lines give its format). Set up from the environment (the FAKE_CFGMGR32_* settings of
// tests/standins/README.md).
// "rundll32 cfgmgr32.dll,CreateResourceMap" makes the registry key that tests/data/resourcemap.reg fills.
// A log configuration or resource descriptor still open when the walk ends makes the last call,
// CM_Get_Sibling of the root, fail with CR_FAILURE.
#define _CFGMGR32_  // this DLL defines the functions rather than importing them
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>
#include <windows.h>
#include <cfgmgr32.h>
#include <sddl.h>

#include "split.h"

namespace {
std::vector<std::vector<std::string>> nodes;  // the fields of each line, the depth first
long open_handles = 0;
const char* const squat_name = "Global\\quorva-port-0x0378";

const std::string& field(DEVINST node, int number) { return nodes.at(node - 1).at(number); }
int depth(size_t index) { return index < nodes.size() ? std::atoi(nodes[index][0].c_str()) : -1; }
// A log configuration's or resource descriptor's handle: the node (from 1), the field of its ranges
// (7 allocated, 8 boot), the range (from 1; 0 is the log configuration itself).
std::vector<std::string> ranges_of(DWORD_PTR handle) { return split(field(handle >> 12, handle >> 8 & 15), ' '); }

DWORD WINAPI hold_turn(void* ready)
{
    const HANDLE mutex = CreateMutexA(nullptr, TRUE, squat_name);
    SetEvent(ready);
    Sleep(std::strtoul(std::getenv("FAKE_CFGMGR32_SQUAT"), nullptr, 10));
    return mutex && ReleaseMutex(mutex) ? 0 : 1;
}

bool squat(const std::string& kind)
{
    PSECURITY_DESCRIPTOR nobody;  // an empty DACL: no one may open it
    SECURITY_ATTRIBUTES shut{sizeof shut, nullptr, FALSE};
    HMODULE self;  // the holding thread runs this DLL's code, which must then stay loaded
    const HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (kind == "event" || kind == "shut")
        return kind == "event" ? CreateEventA(nullptr, TRUE, FALSE, squat_name) != nullptr
                               : ConvertStringSecurityDescriptorToSecurityDescriptorA("D:", SDDL_REVISION_1, &nobody, nullptr) &&
                                     (shut.lpSecurityDescriptor = nobody, CreateMutexA(&shut, FALSE, squat_name));
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<const char*>(&hold_turn), &self) &&
           CreateThread(nullptr, 0, hold_turn, ready, 0, nullptr) && WaitForSingleObject(ready, 10000) == 0;
}
BOOL WINAPI fake_is_wow64(HANDLE, PBOOL wow64) { return *wow64 = *std::getenv("FAKE_CFGMGR32_WOW64") == '1', TRUE; }
}  // namespace

#define FAKE_CM extern "C" __declspec(dllexport) CONFIGRET WINAPI

FAKE_CM CM_Locate_DevNodeA(PDEVINST root, DEVINSTID_A, ULONG)
{
    const char* kind = std::getenv("FAKE_CFGMGR32_SQUAT");
    std::ifstream tree(std::getenv("FAKE_CFGMGR32_TREE") ? std::getenv("FAKE_CFGMGR32_TREE") : "");
    // With FAKE_CFGMGR32_WOW64, IsWow64Process answers as it says, whatever wine's prefix is: its
    // first bytes become a jump to fake_is_wow64.
    const auto code = reinterpret_cast<unsigned char*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process"));
    const int32_t jump = reinterpret_cast<unsigned char*>(&fake_is_wow64) - (code + 5);
    DWORD old;
    if ((kind && !squat(kind)) || (std::getenv("FAKE_CFGMGR32_WOW64") && !(code && VirtualProtect(code, 5, PAGE_EXECUTE_READWRITE, &old) &&
                                                                          (*code = 0xE9, std::memcpy(code + 1, &jump, 4)))))
        std::abort();
    for (std::string line; std::getline(tree, line);)
        if (line[0] != '#')
            nodes.push_back(split(line, '|'));
    return *root = 1, nodes.empty() ? CR_NO_SUCH_DEVNODE : CR_SUCCESS;
}

FAKE_CM CM_Get_Child(PDEVINST child, DEVINST node, ULONG)
{
    return *child = node + 1, depth(node) == depth(node - 1) + 1 ? CR_SUCCESS : CR_NO_SUCH_DEVNODE;
}

// The root has no sibling: the walk ends there, and every handle must have been freed by then.
FAKE_CM CM_Get_Sibling(PDEVINST sibling, DEVINST node, ULONG)
{
    for (*sibling = node + 1; depth(*sibling - 1) > depth(node - 1); ++*sibling) {}
    return depth(*sibling - 1) == depth(node - 1) ? CR_SUCCESS : node == 1 && open_handles != 0 ? CR_FAILURE : CR_NO_SUCH_DEVNODE;
}

// Texts end in a zero, lists of IDs (commas in the file) in two.
FAKE_CM CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, PULONG, PVOID buffer, PULONG length, ULONG)
{
    const int number[] = {0, 3, 4, 5, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2, 0, 6};  // the field of each CM_DRP_ value
    const bool list = property == CM_DRP_HARDWAREID || property == CM_DRP_COMPATIBLEIDS;
    std::string value = property < 16 && number[property] ? field(node, number[property]) : "";
    if (value.empty())
        return CR_NO_SUCH_VALUE;
    for (char& c : value)
        c = list && c == ',' ? '\0' : c;
    value.append(list ? 2 : 1, '\0');
    const bool room = *length >= value.size();
    *length = value.size();
    return room ? std::memcpy(buffer, value.data(), value.size()), CR_SUCCESS : CR_BUFFER_SMALL;
}

FAKE_CM CM_Get_First_Log_Conf(PLOG_CONF conf, DEVINST node, ULONG kind)
{
    const int number = kind == ALLOC_LOG_CONF ? 7 : 8;
    return std::getenv("FAKE_CFGMGR32_WOW64") ? CR_CALL_NOT_IMPLEMENTED
           : field(node, number).empty()       ? CR_NO_MORE_LOG_CONF
                                               : (++open_handles, *conf = node << 12 | number << 8, CR_SUCCESS);
}

FAKE_CM CM_Get_Next_Res_Des(PRES_DES next, RES_DES current, RESOURCEID type, PRESOURCEID, ULONG)
{
    const bool more = type == ResType_IO && (current & 0xFF) < ranges_of(current).size();
    return more ? (++open_handles, *next = current + 1, CR_SUCCESS) : CR_NO_MORE_RES_DES;
}

FAKE_CM CM_Get_Res_Des_Data_Size(PULONG size, RES_DES, ULONG) { return *size = sizeof(IO_RESOURCE), CR_SUCCESS; }

FAKE_CM CM_Get_Res_Des_Data(RES_DES descriptor, PVOID buffer, ULONG length, ULONG)
{
    const std::vector<std::string> range = split(ranges_of(descriptor).at((descriptor & 0xFF) - 1), '-');
    IO_RESOURCE io{{1, IOType_Range, std::strtoull(range.at(0).c_str(), nullptr, 16), std::strtoull(range.at(1).c_str(), nullptr, 16), fIOD_IO}, {}};
    return length < sizeof io ? CR_BUFFER_SMALL : (std::memcpy(buffer, &io, sizeof io), CR_SUCCESS);
}

FAKE_CM CM_Free_Log_Conf_Handle(LOG_CONF) { return --open_handles, CR_SUCCESS; }
FAKE_CM CM_Free_Res_Des_Handle(RES_DES) { return --open_handles, CR_SUCCESS; }

// The resource map's registry key, volatile like everything under HARDWARE.
extern "C" __declspec(dllexport) void CALLBACK CreateResourceMap(HWND, HINSTANCE, LPSTR, int)
{
    HKEY key = HKEY_LOCAL_MACHINE;
    for (const char* name : {"HARDWARE\\RESOURCEMAP", "PnP Manager", "PnpManager"})
        if (RegCreateKeyExA(key, name, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0)
            std::abort();
}
