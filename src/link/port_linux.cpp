// Port backend for Linux on x86: in/out instructions for root (ioperm on the three ports only),
// otherwise the kernel's parallel-port device /dev/parportN (ppdev), one ioctl per register access.
#include "link/port_io.h"
#include "link/x86_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
int device = -1;       // the claimed /dev/parportN; -1 while the port instructions are used
uint16_t base = 0;     // the data register's port; the status and control registers follow it
char device_path[32];  // its name, for the messages
char device_why[320];  // why the device route failed
char reason[448];      // the same, after why ioperm failed
char failure[96];      // why the first failed access failed; empty while none has

// The first decimal number of /proc/sys/dev/parport/parportN/base-addr ("888\t1912\n"), or -1
// when that port does not exist.
long parport_base(int number)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/sys/dev/parport/parport%d/base-addr", number);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[64];
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0)
        return -1;
    text[length] = '\0';
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end == text ? -1 : value;
}

// Finds the parport at first_port and claims its device; nullptr on success, else why not.
// PPCLAIM waits while another program holds the port, so two runs take turns on the wire.
const char* claim_device(uint16_t first_port)
{
    char found[192] = "";  // the bases of the ports that exist, for the message
    int number = -1;
    for (int n = 0; n < PARPORT_MAX && number < 0; ++n) {
        const long port = parport_base(n);
        const size_t used = std::strlen(found);
        if (port == first_port)
            number = n;
        else if (port >= 0)
            std::snprintf(found + used, sizeof found - used, "%s0x%lX", used ? " " : "", port);
    }
    if (number < 0 && !found[0])
        return "no parallel port in /proc/sys/dev/parport (load the parport_pc and ppdev modules)";
    if (number < 0) {
        std::snprintf(device_why, sizeof device_why,
                      "no parallel port at this address in /proc/sys/dev/parport (ports there: %s; pass one with -a)",
                      found);
        return device_why;
    }
    char* const path = device_path;
    std::snprintf(path, sizeof device_path, "/dev/parport%d", number);
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            std::snprintf(device_why, sizeof device_why, "%s is missing (load the ppdev module)", path);
        else if (error == EACCES || error == EPERM)
            std::snprintf(device_why, sizeof device_why,
                          "%s: permission denied (add the user to the group lp, or run as root)", path);
        else
            std::snprintf(device_why, sizeof device_why, "%s: %s", path, std::strerror(error));
        return device_why;
    }
    // No PPEXCL (it fails while the printer driver is loaded) and no mode change: the port stays
    // in compatibility mode. The kernel releases the claim when the process ends.
    if (ioctl(fd, PPCLAIM) != 0) {
        std::snprintf(device_why, sizeof device_why, "%s: the port cannot be claimed (%s)", path,
                      std::strerror(errno));
        close(fd);
        return device_why;
    }
    device = fd;
    return nullptr;
}

// One register access through the device. Records the first failure, naming the device and the
// error; true when the access was made.
bool device_access(unsigned long request, unsigned char* byte)
{
    if (ioctl(device, request, byte) == 0)
        return true;
    if (!failure[0])
        std::snprintf(failure, sizeof failure, "%s: %s", device_path, std::strerror(errno));
    return false;
}
}  // namespace

bool write_port(uint16_t port, uint8_t value)
{
    if (device < 0) {
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
    if (device < 0)
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

const char* acquire_ports(uint16_t first_port)
{
    base = first_port;
    // Only a process whose real user is root asks for the instructions: a capability set on the
    // executable must not let any local user write to any port.
    int direct = 0;  // why ioperm failed; 0 when it was not asked
    if (getuid() == 0) {
        if (ioperm(first_port, 3, 1) == 0)
            return nullptr;
        direct = errno;
    }
    const char* refused = claim_device(first_port);
    if (!refused || !direct)
        return refused;
    std::snprintf(reason, sizeof reason, "ioperm: %s; %s",
                  direct == ENOSYS  ? "this kernel offers no user-space port access"
                  : direct == EPERM ? "not permitted (kernel lockdown under Secure Boot, or a container without CAP_SYS_RAWIO)"
                                    : std::strerror(direct),
                  refused);
    return reason;
}
