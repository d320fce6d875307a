// Port backend for 32-bit Windows on x86: in/out instructions; rights from a port-access driver
// of the giveio kind where one is installed, checked by one guarded read of the status port.
#include "link/port_io.h"
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
    asm volatile("movl $1f, %1\n\t"
                 "1: inb %%dx, %%al"
                 : "+a"(value), "=m"(probe_address)
                 : "d"(port)
                 : "memory");
}

using AddHandler = PVOID(WINAPI*)(ULONG, PVECTORED_EXCEPTION_HANDLER);
using RemoveHandler = ULONG(WINAPI*)(PVOID);

template <typename Function>
Function kernel_function(const char* name)
{
    const FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// Reads the status port once with the fault handler in place; true when the read was refused.
// Vectored handlers (Windows XP and later) are looked up at run time, so that the program still
// loads on older systems; those get the handler as the unhandled-exception filter instead.
bool status_read_refused(uint16_t status_port)
{
    probe_refused = 0;
    const auto add = kernel_function<AddHandler>("AddVectoredExceptionHandler");
    const auto remove = kernel_function<RemoveHandler>("RemoveVectoredExceptionHandler");
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

void write_port(uint16_t port, uint8_t value)
{
    x86_out(port, value);
}

uint8_t read_port(uint16_t port)
{
    return x86_in(port);
}

const char* acquire_ports(uint16_t first_port)
{
    // Opening giveio's device gives this process the ports. Some drivers of that kind take them
    // back when the handle is closed, so it stays open until the process ends.
    if (port_driver == INVALID_HANDLE_VALUE)
        port_driver = CreateFileA("\\\\.\\giveio", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);

    // Windows 95/98/ME allow port instructions to every program; on NT and later the probe
    // shows whether a driver has opened them for this process.
    if (!status_read_refused(static_cast<uint16_t>(first_port + 1)))
        return nullptr;
    if (port_driver != INVALID_HANDLE_VALUE)
        return "the port-access driver did not open the ports: run as administrator and check the driver";
    return "port instructions are refused: run as administrator with a port-access driver such as giveio installed";
}
