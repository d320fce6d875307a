// Windows: the devices the configuration manager lists, with their classes, names, IDs and
// assigned I/O ranges, for the check of whom a port belongs to. cfgmgr32.dll is loaded from the
// system folder by its full path and every function looked up at run time, so that the program
// starts where it is missing (Windows 95, NT 4). A 32-bit program on 64-bit Windows 8 and later
// is told that the log configurations are not implemented; there the assigned resources are read
// from the registry's resource map, by each device's physical device object name, in the layout
// of the Windows that wrote it: 64-bit under WOW64, else 32-bit.
#include "link/windows/devices_windows.h"

#include "link/text.h"
#include "link/windows/dll_lookup.h"

#include <cstring>
#include <windows.h>
#include <cfgmgr32.h>

namespace {
using LocateNode = CONFIGRET(WINAPI*)(PDEVINST, DEVINSTID_A, ULONG);
using Relative = CONFIGRET(WINAPI*)(PDEVINST, DEVINST, ULONG);
using Property = CONFIGRET(WINAPI*)(DEVINST, ULONG, PULONG, PVOID, PULONG, ULONG);
using FirstLogConf = CONFIGRET(WINAPI*)(PLOG_CONF, DEVINST, ULONG);
using NextResDes = CONFIGRET(WINAPI*)(PRES_DES, RES_DES, RESOURCEID, PRESOURCEID, ULONG);
using ResDesSize = CONFIGRET(WINAPI*)(PULONG, RES_DES, ULONG);
using ResDesData = CONFIGRET(WINAPI*)(RES_DES, PVOID, ULONG, ULONG);
using FreeLogConf = CONFIGRET(WINAPI*)(LOG_CONF);
using FreeResDes = CONFIGRET(WINAPI*)(RES_DES);

LocateNode locate_node;
Relative child_of, sibling_of;
Property property_of;
FirstLogConf first_log_conf;
NextResDes next_res_des;
ResDesSize res_des_size;
ResDesData res_des_data;
FreeLogConf free_log_conf;
FreeResDes free_res_des;

HKEY resource_map = nullptr;  // open once the log configurations turned out not to be implemented
bool wide_map = false;        // the resource map is in 64-bit Windows' layout

std::string failed(const char* call, unsigned long code)
{
    return text_printf("the device list cannot be read (%s: error 0x%lX), so the ports cannot be checked",
                       call, code);
}

// One text property (REG_SZ), or a list of them (REG_MULTI_SZ), of a device; none when it has none.
std::string read_property(DEVINST node, ULONG property, std::vector<std::string>& values)
{
    std::vector<char> buffer(256);
    ULONG length = static_cast<ULONG>(buffer.size());
    CONFIGRET result = property_of(node, property, nullptr, buffer.data(), &length, 0);
    if (result == CR_BUFFER_SMALL) {
        buffer.resize(length);
        result = property_of(node, property, nullptr, buffer.data(), &length, 0);
    }
    if (result == CR_NO_SUCH_VALUE)
        return "";
    if (result != CR_SUCCESS)
        return failed("CM_Get_DevNode_Registry_PropertyA", result);
    buffer.resize(length);
    buffer.push_back('\0');
    const char* const end = buffer.data() + length;
    for (const char* value = buffer.data(); *value && value < end; value += std::strlen(value) + 1)
        values.push_back(value);
    return "";
}

std::string read_text(DEVINST node, ULONG property, std::string& text)
{
    std::vector<std::string> values;
    const std::string problem = read_property(node, property, values);
    text = values.empty() ? "" : values[0];
    return problem;
}

// The range one I/O resource descriptor was given.
std::string read_io(RES_DES descriptor, std::vector<IoRange>& ranges)
{
    ULONG size = 0;
    CONFIGRET result = res_des_size(&size, descriptor, 0);
    if (result != CR_SUCCESS)
        return failed("CM_Get_Res_Des_Data_Size", result);
    std::vector<char> data(size < sizeof(IO_DES) ? sizeof(IO_DES) : size);
    if ((result = res_des_data(descriptor, data.data(), size, 0)) != CR_SUCCESS)
        return failed("CM_Get_Res_Des_Data", result);
    IO_DES header;
    std::memcpy(&header, data.data(), sizeof header);
    const DWORDLONG base = header.IOD_Alloc_Base, end = header.IOD_Alloc_End;
    if (size >= sizeof header && base <= end && base <= 0xFFFF)
        ranges.push_back(
            IoRange{static_cast<uint16_t>(base), static_cast<uint16_t>(end > 0xFFFF ? 0xFFFF : end)});
    return "";
}

// The I/O ranges of one log configuration, each resource descriptor freed once the next is found.
std::string read_log_conf(LOG_CONF conf, std::vector<IoRange>& ranges)
{
    RES_DES current = conf;
    for (bool first = true;; first = false) {
        RES_DES next;
        const CONFIGRET result = next_res_des(&next, current, ResType_IO, nullptr, 0);
        const CONFIGRET freed = first ? CR_SUCCESS : free_res_des(current);
        if (result != CR_SUCCESS && result != CR_NO_MORE_RES_DES)
            return failed("CM_Get_Next_Res_Des", result);
        if (freed != CR_SUCCESS && result == CR_SUCCESS)
            free_res_des(next);
        if (freed != CR_SUCCESS)
            return failed("CM_Free_Res_Des_Handle", freed);
        if (result == CR_NO_MORE_RES_DES)
            return "";
        current = next;
        const std::string problem = read_io(current, ranges);
        if (!problem.empty()) {
            free_res_des(current);
            return problem;
        }
    }
}

// The resources Windows assigned to a device, from the registry's resource map: the value named
// after its physical device object, "\Device\NTPNP_PCI0012.Raw". A device without one has none.
std::string read_resource_map(DEVINST node, std::vector<IoRange>& ranges)
{
    std::string object;
    const std::string problem = read_text(node, CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME, object);
    if (!problem.empty() || object.empty())
        return problem;
    object += ".Raw";
    DWORD type = 0, size = 0;
    LONG result = RegQueryValueExA(resource_map, object.c_str(), nullptr, &type, nullptr, &size);
    std::vector<unsigned char> bytes(size);
    if (result == ERROR_SUCCESS)
        result = RegQueryValueExA(resource_map, object.c_str(), nullptr, &type, bytes.data(), &size);
    if (result == ERROR_FILE_NOT_FOUND)
        return "";
    if (result != ERROR_SUCCESS)
        return failed("RegQueryValueExA", result);
    if (type != REG_RESOURCE_LIST || !parse_resource_list(bytes.data(), size, wide_map, ranges))
        return text_printf(
            "the resource list %s in the registry is not in its format, so the ports "
            "cannot be checked",
            object.c_str());
    return "";
}

// Whether this 32-bit process runs on 64-bit Windows (WOW64), whose kernel writes the resource map
// in its own layout. IsWow64Process is looked up at run time: Windows 95, 98 and XP before SP2
// lack it, and are 32-bit. Returns an empty text, else why it could not be told.
std::string read_wow64()
{
    using IsWow64 = BOOL(WINAPI*)(HANDLE, PBOOL);
    IsWow64 is_wow64;
    BOOL wow64 = FALSE;
    wide_map = false;
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel)
        return failed("GetModuleHandleA", GetLastError());
    if (!dll_lookup(kernel, "IsWow64Process", is_wow64))
        return "";
    if (!is_wow64(GetCurrentProcess(), &wow64))
        return failed("IsWow64Process", GetLastError());
    wide_map = wow64 != FALSE;
    return "";
}

// The assigned I/O ranges of one device: its allocated configuration, else the one the firmware
// set up at boot; from the registry where the log configurations are not implemented.
std::string read_ranges(DEVINST node, std::vector<IoRange>& ranges, bool& listed)
{
    for (ULONG kind : {ALLOC_LOG_CONF, BOOT_LOG_CONF}) {
        if (resource_map)
            return read_resource_map(node, ranges);
        LOG_CONF conf;
        const CONFIGRET result = first_log_conf(&conf, node, kind);
        if (result == CR_CALL_NOT_IMPLEMENTED) {
            const char key[] = "HARDWARE\\RESOURCEMAP\\PnP Manager\\PnpManager";
            const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &resource_map);
            if (opened == ERROR_FILE_NOT_FOUND) {
                listed = false;
                return "";
            }
            if (opened != ERROR_SUCCESS)
                return failed("RegOpenKeyExA", opened);
            const std::string problem = read_wow64();
            return problem.empty() ? read_resource_map(node, ranges) : problem;
        }
        if (result == CR_NO_MORE_LOG_CONF)
            continue;
        if (result != CR_SUCCESS)
            return failed("CM_Get_First_Log_Conf", result);
        std::string problem = read_log_conf(conf, ranges);
        const CONFIGRET freed = free_log_conf(conf);
        if (problem.empty() && freed != CR_SUCCESS)
            problem = failed("CM_Free_Log_Conf_Handle", freed);
        return problem;
    }
    return "";
}

// One device and everything below it, depth first.
std::string read_tree(DEVINST node, std::vector<DeviceInfo>& devices, bool& listed)
{
    for (;;) {
        DeviceInfo device;
        std::string problem = read_text(node, CM_DRP_CLASS, device.class_name);
        if (problem.empty())
            problem = read_text(node, CM_DRP_FRIENDLYNAME, device.friendly_name);
        if (problem.empty())
            problem = read_text(node, CM_DRP_DEVICEDESC, device.description);
        if (problem.empty())
            problem = read_property(node, CM_DRP_HARDWAREID, device.ids);
        if (problem.empty())
            problem = read_property(node, CM_DRP_COMPATIBLEIDS, device.ids);
        if (problem.empty())
            problem = read_ranges(node, device.ranges, listed);
        if (!problem.empty() || !listed)
            return problem;
        devices.push_back(device);
        DEVINST next;
        CONFIGRET result = child_of(&next, node, 0);
        if (result == CR_SUCCESS && (!(problem = read_tree(next, devices, listed)).empty() || !listed))
            return problem;
        if (result != CR_SUCCESS && result != CR_NO_SUCH_DEVNODE)
            return failed("CM_Get_Child", result);
        if ((result = sibling_of(&next, node, 0)) == CR_NO_SUCH_DEVNODE)
            return "";
        if (result != CR_SUCCESS)
            return failed("CM_Get_Sibling", result);
        node = next;
    }
}
}  // namespace

std::string read_windows_devices(std::vector<DeviceInfo>& devices, bool& listed)
{
    listed = false;
    char path[MAX_PATH + 20];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return "";
    std::strcpy(path + length, "\\cfgmgr32.dll");
    const HMODULE dll = LoadLibraryA(path);
    if (!dll)
        return "";
    DEVINST root;
    const bool complete = dll_lookup(dll, "CM_Locate_DevNodeA", locate_node) &&
                          dll_lookup(dll, "CM_Get_Child", child_of) &&
                          dll_lookup(dll, "CM_Get_Sibling", sibling_of) &&
                          dll_lookup(dll, "CM_Get_DevNode_Registry_PropertyA", property_of) &&
                          dll_lookup(dll, "CM_Get_First_Log_Conf", first_log_conf) &&
                          dll_lookup(dll, "CM_Get_Next_Res_Des", next_res_des) &&
                          dll_lookup(dll, "CM_Get_Res_Des_Data_Size", res_des_size) &&
                          dll_lookup(dll, "CM_Get_Res_Des_Data", res_des_data) &&
                          dll_lookup(dll, "CM_Free_Log_Conf_Handle", free_log_conf) &&
                          dll_lookup(dll, "CM_Free_Res_Des_Handle", free_res_des);
    std::string problem;
    if (complete && locate_node(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS) {
        listed = true;
        problem = read_tree(root, devices, listed);
    }
    const LONG closed = resource_map ? RegCloseKey(resource_map) : ERROR_SUCCESS;
    resource_map = nullptr;
    if (problem.empty() && closed != ERROR_SUCCESS)
        problem = failed("RegCloseKey", closed);
    if (!FreeLibrary(dll) && problem.empty())
        problem = failed("FreeLibrary", GetLastError());
    return problem;
}
