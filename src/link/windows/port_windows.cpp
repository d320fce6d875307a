// Port backend for 32-bit Windows on x86: in/out instructions where a guarded status read shows
// they are allowed (Windows 9x/ME, or a giveio driver), otherwise the functions of InpOut32's DLL.
// Either way only ports that Windows does not list as another device's are used, one run at a time.
#include "link/port_io.h"
#include "link/decisions/port_owner.h"
#include "link/windows/devices_windows.h"
#include "link/windows/dll_lookup.h"
#include "link/windows/inpout32.h"
#include "link/windows/port_mutex.h"
#include "link/x86_io.h"

#include <windows.h>

static_assert(sizeof(void*) == 4, "the Windows port backend is written for 32-bit Windows (x86)");

namespace {
HANDLE port_driver = INVALID_HANDLE_VALUE;  // the driver's device, open until the process ends
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
    asm volatile(
        "movl $1f, %1\n\t"
        "1: inb %%dx, %%al"
        : "+a"(value), "=m"(probe_address)
        : "d"(port)
        : "memory");
}

using AddHandler = PVOID(WINAPI*)(ULONG, PVECTORED_EXCEPTION_HANDLER);
using RemoveHandler = ULONG(WINAPI*)(PVOID);

void WINAPI instruction_write(USHORT port, UCHAR value)
{
    x86_out(port, value);
}
UCHAR WINAPI instruction_read(USHORT port)
{
    return x86_in(port);
}

// What write_port and read_port call: the instructions themselves, or InpOut32's functions once
// that route is taken. Either way one port access is one call.
PortWrite port_write = instruction_write;
PortRead port_read = instruction_read;

// Reads the status port once with the fault handler in place; true when the read was refused.
// Vectored handlers (Windows XP and later) are looked up at run time, so that the program still
// loads on older systems; those get the handler as the unhandled-exception filter instead.
bool status_read_refused(uint16_t status_port)
{
    probe_refused = 0;
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    AddHandler add;
    RemoveHandler remove;
    const bool vectored = dll_lookup(kernel, "AddVectoredExceptionHandler", add) &&
                          dll_lookup(kernel, "RemoveVectoredExceptionHandler", remove);
    if (PVOID handler = vectored ? add(1, on_probe_fault) : nullptr) {
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

// The way to the port: its owner, its turn, then the route; an empty text when the ports may be used.
std::string acquire_ports(uint16_t first_port)
{
    // Whom the three ports belong to, before any of them is touched: a mistyped address must not
    // reach a disk controller or the reset register, and Windows lets every port through.
    std::vector<DeviceInfo> devices;
    bool listed = false;
    std::string refusal = read_windows_devices(devices, listed);
    if (refusal.empty())
        refusal = port_owner_refusal(first_port, listed ? &devices : nullptr);
    // Another quorva on this port first ends its download: before this process touches the port.
    if (refusal.empty())
        refusal = take_turn(first_port);
    if (!refusal.empty())
        return refusal;

    // Opening giveio's device gives this process the ports. Some drivers of that kind take them
    // back when the handle is closed, so it stays open until the process ends.
    if (port_driver == INVALID_HANDLE_VALUE)
        port_driver = CreateFileA("\\\\.\\giveio", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);

    // Windows 95/98/ME allow port instructions to every program; on NT and later the probe
    // shows whether a driver has opened them for this process, and when none has, InpOut32 is next.
    if (!status_read_refused(static_cast<uint16_t>(first_port + 1)))
        return "";
    return take_inpout(port_driver != INVALID_HANDLE_VALUE, port_write, port_read);
}
