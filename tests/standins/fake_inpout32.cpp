// A fake inpout32.dll for the Windows tests under wine: InpOut32's three port functions, served by
// the simulated board at 0x378 instead of a driver. Set up from the environment when it is loaded
// (the FAKE_INPOUT32_* settings of tests/standins/README.md).
#include <aclapi.h>
#include <sddl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

#include "link/port_io.h"
#include "sim/sim_board.h"

namespace {
FILE* trace = nullptr;
unsigned long accesses = 0;

// One line, written at the end the file has at that moment, whatever other processes append to it.
void log_turn(const char* what)
{
    char line[40];
    const DWORD length = std::snprintf(line, sizeof line, "%lu %s\n", GetCurrentProcessId(), what);
    const char* path = std::getenv("FAKE_INPOUT32_TURNS");
    const HANDLE log = path ? CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr) : nullptr;
    DWORD written = 0;
    if (path && !(WriteFile(log, line, length, &written, nullptr) && written == length && CloseHandle(log)))
        std::abort();
}

void log_dacl(const char* path)
{
    const HANDLE mutex = OpenMutexA(READ_CONTROL, FALSE, "Global\\quorva-port-0x0378");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    char* text = nullptr;
    FILE* const log = std::fopen(path, "w");
    if (!log || GetSecurityInfo(mutex, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr, &descriptor) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr) ||
        std::fprintf(log, "%s\n", text) < 0 || std::fclose(log) != 0)
        std::abort();
}

void before_access()
{
    static const char* const slow = std::getenv("FAKE_INPOUT32_SLOW");
    static const char* const dacl = std::getenv("FAKE_INPOUT32_DACL");
    if (accesses++ == 0)
        log_turn("first");
    if (accesses == 1 && dacl)
        log_dacl(dacl);
    if (slow && accesses % 1000 == 0)
        Sleep(std::strtoul(slow, nullptr, 10));
}
}  // namespace

extern "C" __declspec(dllexport) BOOL WINAPI IsInpOutDriverOpen()
{
    const char* driver = std::getenv("FAKE_INPOUT32_DRIVER");
    return !driver || std::strcmp(driver, "closed") != 0;
}

extern "C" __declspec(dllexport) void WINAPI DlPortWritePortUchar(USHORT port, UCHAR value) { before_access(), write_port(port, value); }
extern "C" __declspec(dllexport) UCHAR WINAPI DlPortReadPortUchar(USHORT port) { return before_access(), read_port(port); }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    const char* trace_path = std::getenv("FAKE_INPOUT32_TRACE");
    const char* memory_path = std::getenv("FAKE_INPOUT32_MEMORY");
    if (reason == DLL_PROCESS_ATTACH) {
        const char* base = std::getenv("FAKE_INPOUT32_BASE");
        sim_reset(SimBoardConfig{static_cast<uint16_t>(base ? std::strtoul(base, nullptr, 16) : 0x378)});
        if (trace_path)
            sim_trace_to(trace = std::fopen(trace_path, "wb"));
    }
    if (reason == DLL_PROCESS_DETACH && accesses > 0)
        log_turn("last");
    if (reason == DLL_PROCESS_DETACH && trace)
        std::fclose(trace);
    if (reason == DLL_PROCESS_DETACH && memory_path)
        sim_save_memory(std::fopen(memory_path, "wb"));
    return TRUE;
}
