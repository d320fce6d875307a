// Port backend for Linux on x86: the seam's functions and the way to the port. Every run first
// takes the port for itself in turn with everyone else (turn_linux.cpp). Root then uses the in/out
// instructions (ioperm on the three ports only), everyone else one ppdev ioctl per register access.
// Root never touches ports the kernel does not know as a parallel port unless /proc/ioports shows
// that no driver owns them.
#include "link/decisions/ioports.h"
#include "link/linux/proc_linux.h"
#include "link/linux/turn_linux.h"
#include "link/port_io.h"
#include "link/text.h"
#include "link/x86_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <linux/ppdev.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
int device = -1;            // the claimed /dev/parportN, kept open to the end; -1 when none
bool instructions = false;  // true when the in/out instructions serve the accesses
uint16_t base = 0;          // the data register's port; the status and control registers follow it
std::string device_name;    // the device's name, for the failure of an access
char failure[96];           // why the first failed access failed; empty while none has
char ioports_text[65536];   // /proc/ioports, read whole for root's check
int ioperm_error = -1;      // root's ioperm, asked once: 0 granted, else its errno; -1 not yet asked

// Why the kernel knows no parallel port at the address asked for; `known` lists those it knows.
std::string no_parport(const std::string& known)
{
    if (known == "none")
        return "no parallel port in /proc/sys/dev/parport (load the parport_pc and ppdev modules)";
    return text_printf(
        "no parallel port at this address in /proc/sys/dev/parport "
        "(ports there: %s; pass one with -a)",
        known.c_str());
}

// Root asks for the port instructions on the three ports, once. True when they serve the accesses.
bool take_instructions()
{
    if (ioperm_error < 0)
        ioperm_error = ioperm(base, 3, 1) == 0 ? 0 : errno;
    instructions = ioperm_error == 0;
    return instructions;
}

// Root's check before ioperm on ports the kernel does not know as a parallel port: the whole of
// /proc/ioports, judged by ioports_refusal, with the classes of the PCI devices from sysfs.
// Returns an empty text when the ports are free.
std::string check_ioports(uint16_t first_port, const std::string& known)
{
    const ssize_t length = read_small("/proc/ioports", ioports_text, sizeof ioports_text);
    const char* problem = length < 0                                               ? std::strerror(errno)
                          : static_cast<size_t>(length) == sizeof ioports_text - 1 ? "longer than 64 KiB"
                                                                                   : nullptr;
    const char* const list = problem ? nullptr : ioports_text;
    return ioports_refusal(list, problem, first_port, known.c_str(), read_pci_class);
}

// The kernel's port N whose device cannot be opened (ppdev not loaded): nothing would keep a
// driver registered on it, such as the printer driver, from writing to the port in the middle of
// the download, so root goes on only while /proc/sys/dev/parport/parportN/devices/ names none
// besides "active". Returns an empty text then, else why not.
std::string check_drivers(int number, const std::string& device_refused)
{
    char driver[sizeof(dirent::d_name)];
    if (std::string unreadable = find_device(number, "", driver, sizeof driver); !unreadable.empty())
        return text_printf("%s; %s", device_refused.c_str(), unreadable.c_str());
    if (!driver[0])
        return "";
    return text_printf(
        "%s; %s is registered on parport%d and would write to the port during the download, "
        "so the port must be claimed through ppdev",
        device_refused.c_str(), driver, number);
}

// Root: the port is taken like everyone's (the kernel's claim where it knows the port and has its
// device, else a lock file after the /proc/ioports check), then the instructions are asked for.
std::string acquire_as_root(uint16_t first_port, int number, const std::string& known)
{
    const std::string device_refused = number < 0 ? no_parport(known) : open_device(number, device);
    std::string refused;
    if (device_refused.empty())
        refused = lock_and_claim(number, device, take_instructions);
    else if (number < 0)
        refused = check_ioports(first_port, known);  // not the kernel's port: it must be no one else's
    else
        refused = check_drivers(number, device_refused);
    if (refused.empty() && device < 0)
        refused = lock_by_file(first_port);
    if (!refused.empty() || take_instructions() || device >= 0)
        return refused;  // refused, or the instructions or else the claimed device serve the accesses
    const int direct = ioperm_error;
    return text_printf("ioperm: %s; %s",
                       direct == ENOSYS  ? "this kernel offers no user-space port access"
                       : direct == EPERM ? "not permitted (kernel lockdown under Secure Boot, or a container "
                                           "without CAP_SYS_RAWIO)"
                                         : std::strerror(direct),
                       device_refused.c_str());
}

// One register access through the device. Records the first failure, naming the device and the
// error; true when the access was made.
bool device_access(unsigned long request, unsigned char* byte)
{
    if (ioctl(device, request, byte) == 0)
        return true;
    if (!failure[0])
        std::snprintf(failure, sizeof failure, "%s: %s", device_name.c_str(), std::strerror(errno));
    return false;
}
}  // namespace

bool write_port(uint16_t port, uint8_t value)
{
    if (instructions) {
        x86_out(port, value);
        return true;
    }
    unsigned char byte = value;
    const uint16_t reg = static_cast<uint16_t>(port - base);
    // ppdev has no write to the status register, and the link never makes one.
    return (reg != 0 && reg != 2) || device_access(reg == 0 ? PPWDATA : PPWCONTROL, &byte);
}

int read_port(uint16_t port)
{
    if (instructions)
        return x86_in(port);
    static constexpr unsigned long requests[3] = {PPRDATA, PPRSTATUS, PPRCONTROL};
    unsigned char byte = 0xFF;  // what a port nobody drives reads
    const uint16_t reg = static_cast<uint16_t>(port - base);
    if (reg < 3 && !device_access(requests[reg], &byte))
        return PORT_FAILED;
    return byte;
}

const char* port_failure()
{
    return failure[0] ? failure : nullptr;
}

// The way to the port, in turn with everyone else's.
std::string acquire_ports(uint16_t first_port)
{
    base = first_port;
    std::string known;
    const int number = find_parport(first_port, known);
    device_name = device_path(number);
    // Only a process whose real user is root asks for the instructions: a capability set on the
    // executable must not let any local user write to any port.
    if (getuid() == 0)
        return acquire_as_root(first_port, number, known);
    if (number < 0)
        return no_parport(known);
    if (std::string refused = open_device(number, device); !refused.empty())
        return refused;
    return lock_and_claim(number, device, nullptr);
}
