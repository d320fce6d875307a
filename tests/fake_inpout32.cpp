// A fake inpout32.dll for the Windows tests under wine: InpOut32's three port functions, served by
// the simulated board at 0x378 instead of a driver. Set up from the environment when it is loaded:
//   FAKE_INPOUT32_DRIVER=closed  IsInpOutDriverOpen answers FALSE (the driver could not be opened)
//   FAKE_INPOUT32_TRACE=PATH     every port access to PATH, "W PPPP VV" lines as quorva-sim --trace
//   FAKE_INPOUT32_MEMORY=PATH    the board's 64 KiB to PATH when the DLL is unloaded, as --memory
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

#include "link/port_io.h"
#include "sim/sim_board.h"

namespace {
FILE* trace = nullptr;
}

extern "C" __declspec(dllexport) BOOL WINAPI IsInpOutDriverOpen()
{
    const char* driver = std::getenv("FAKE_INPOUT32_DRIVER");
    return !driver || std::strcmp(driver, "closed") != 0;
}

extern "C" __declspec(dllexport) void WINAPI DlPortWritePortUchar(USHORT port, UCHAR value) { write_port(port, value); }
extern "C" __declspec(dllexport) UCHAR WINAPI DlPortReadPortUchar(USHORT port) { return read_port(port); }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    const char* trace_path = std::getenv("FAKE_INPOUT32_TRACE");
    const char* memory_path = std::getenv("FAKE_INPOUT32_MEMORY");
    if (reason == DLL_PROCESS_ATTACH) {
        sim_reset(SimBoardConfig{});
        if (trace_path)
            sim_trace_to(trace = std::fopen(trace_path, "wb"));
    }
    if (reason == DLL_PROCESS_DETACH && trace)
        std::fclose(trace);
    if (reason == DLL_PROCESS_DETACH && memory_path)
        sim_save_memory(std::fopen(memory_path, "wb"));
    return TRUE;
}
