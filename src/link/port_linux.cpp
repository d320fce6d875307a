// Port backend for Linux on x86. Every run first takes the port for itself: an exclusive lock,
// then a wait until the kernel shows the port free, then the kernel's claim (/dev/parportN,
// ppdev), so that two downloads and the printer driver take turns. Root then uses the in/out
// instructions (ioperm on the three ports only), everyone else one ppdev ioctl per register access.
// Root never touches ports the kernel does not know as a parallel port unless /proc/ioports shows
// that no driver owns them.
#include "link/port_io.h"
#include "link/x86_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/file.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
int device = -1;            // the claimed /dev/parportN, kept open to the end; -1 when none
int lock_file = -1;         // root's lock for a port that has no such device; -1 when none
bool instructions = false;  // true when the in/out instructions serve the accesses
uint16_t base = 0;          // the data register's port; the status and control registers follow it
char device_path[32];       // the device's name, for the messages
char known[192];            // the bases of the parallel ports the kernel knows, "0x278 0x378" or "none"
char device_why[448];       // why the port's device cannot be used
char why[448];              // why another step of the way to the port failed
char reason[640];           // the same, after why ioperm failed
char failure[96];           // why the first failed access failed; empty while none has

// Opens `path` on a descriptor above the standard three, so that nothing the tool prints to a
// closed standard output can ever reach a port device. Returns -1 with errno set on failure.
int open_high(const char* path, int flags, mode_t mode = 0)
{
    const int fd = open(path, flags | O_CLOEXEC, mode);
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int saved = errno;
    close(fd);
    errno = saved;
    return high;
}

// Reads the start of a small /proc file into `text` (NUL-terminated); its length, or -1 with
// errno set.
ssize_t read_small(const char* path, char* text, size_t room)
{
    const int fd = open_high(path, O_RDONLY);
    if (fd < 0)
        return -1;
    const ssize_t length = read(fd, text, room - 1);
    const int saved = errno;
    close(fd);
    errno = saved;
    if (length >= 0)
        text[length] = '\0';
    return length;
}

// The first decimal number of /proc/sys/dev/parport/parportN/base-addr ("888\t1912\n"), or -1
// when that port does not exist.
long parport_base(int number)
{
    char path[64], text[64];
    std::snprintf(path, sizeof path, "/proc/sys/dev/parport/parport%d/base-addr", number);
    if (read_small(path, text, sizeof text) <= 0)
        return -1;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end == text ? -1 : value;
}

// The number N of the kernel's parportN at first_port, or -1; fills `known` with the bases of all.
int find_parport(uint16_t first_port)
{
    int number = -1;
    known[0] = '\0';
    for (int n = 0; n < PARPORT_MAX; ++n) {
        const long port = parport_base(n);
        const size_t used = std::strlen(known);
        if (port < 0)
            continue;
        if (port == first_port && number < 0)
            number = n;
        std::snprintf(known + used, sizeof known - used, "%s0x%lX", used ? " " : "", port);
    }
    if (!known[0])
        std::snprintf(known, sizeof known, "none");
    return number;
}

// Why the kernel knows no parallel port at the address asked for.
const char* no_parport()
{
    if (std::strcmp(known, "none") == 0)
        return "no parallel port in /proc/sys/dev/parport (load the parport_pc and ppdev modules)";
    std::snprintf(device_why, sizeof device_why,
                  "no parallel port at this address in /proc/sys/dev/parport (ports there: %s; pass one with -a)",
                  known);
    return device_why;
}

// Takes the exclusive lock on `fd`, sleeping while another run holds it. False with errno set.
bool lock_exclusive(int fd)
{
    int result;
    while ((result = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    return result == 0;
}

// Sleeps until /proc/sys/dev/parport/parportN/devices/active reads "none": no driver and no other
// program holds the port. Claiming it before that would wait inside the kernel while holding
// ppdev's one lock, which stops every other ppdev user, the holder included. Returns nullptr once
// the port is free, else why the state cannot be read.
const char* wait_until_free(int number)
{
    char path[80], text[64];
    std::snprintf(path, sizeof path, "/proc/sys/dev/parport/parport%d/devices/active", number);
    for (;;) {
        if (read_small(path, text, sizeof text) < 0) {
            std::snprintf(why, sizeof why, "%s: %s", path, std::strerror(errno));
            return why;
        }
        if (std::strcmp(text, "none\n") == 0)
            return nullptr;
        const timespec pause{0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

// Opens /dev/parportN. Returns nullptr when it is open in `device`, else why not (errno kept).
const char* open_device(int number)
{
    std::snprintf(device_path, sizeof device_path, "/dev/parport%d", number);
    const int fd = open_high(device_path, O_RDWR);
    if (fd >= 0) {
        device = fd;
        return nullptr;
    }
    const int error = errno;
    if (error == ENOENT)
        std::snprintf(device_why, sizeof device_why, "%s is missing (load the ppdev module)", device_path);
    else if (error == EACCES || error == EPERM)
        std::snprintf(device_why, sizeof device_why, "%s: permission denied (add the user to the group lp, or run as root)",
                      device_path);
    else
        std::snprintf(device_why, sizeof device_why, "%s: %s", device_path, std::strerror(error));
    errno = error;
    return device_why;
}

// Locks the open device against other runs, waits until the port is free and claims it from the
// kernel. No PPEXCL (it fails while the printer driver is loaded) and no mode change: the port
// stays in compatibility mode. The kernel releases lock and claim when the process ends.
const char* lock_and_claim(int number)
{
    if (!lock_exclusive(device)) {
        std::snprintf(why, sizeof why, "%s: the port cannot be locked (%s)", device_path, std::strerror(errno));
        return why;
    }
    if (const char* busy = wait_until_free(number))
        return busy;
    if (ioctl(device, PPCLAIM) != 0) {
        std::snprintf(why, sizeof why, "%s: the port cannot be claimed (%s)", device_path, std::strerror(errno));
        return why;
    }
    return nullptr;
}

// Root's lock for a port without a device: /run/lock/quorva-0xNNNN.lock, a regular file, never
// reached through a link (the folder is open to everyone).
const char* lock_by_file(uint16_t first_port)
{
    char path[64];
    std::snprintf(path, sizeof path, "/run/lock/quorva-0x%04X.lock", first_port);
    lock_file = open_high(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0644);
    struct stat info;
    const char* problem = nullptr;
    if (lock_file < 0 || fstat(lock_file, &info) != 0)
        problem = std::strerror(errno);
    else if (!S_ISREG(info.st_mode))
        problem = "not a regular file";
    else if (!lock_exclusive(lock_file))
        problem = std::strerror(errno);
    if (!problem)
        return nullptr;
    std::snprintf(why, sizeof why, "the lock file %s cannot be used (%s)", path, problem);
    return why;
}

// True when an entry of /proc/ioports names no owner of the ports: a bus window ("PCI Bus
// 0000:00"), a PCI device's own range named by its address ("0000:03:00.0", a card whose driver
// is not loaded), or the parallel port at first_port itself ("parport0").
bool names_no_owner(const char* name, unsigned long start, uint16_t first_port)
{
    unsigned domain, bus, slot, function;
    int length = -1;
    if (std::strncmp(name, "PCI Bus ", 8) == 0)
        return true;
    if (std::sscanf(name, "%4x:%2x:%2x.%1u%n", &domain, &bus, &slot, &function, &length) == 4 &&
        static_cast<size_t>(length) == std::strlen(name) && length == 12)
        return true;
    int number = -1;
    length = -1;
    return start == first_port && std::sscanf(name, "parport%d%n", &number, &length) == 1 &&
           static_cast<size_t>(length) == std::strlen(name);
}

// Root's check before ioperm on ports the kernel does not know as a parallel port: every entry
// of /proc/ioports that covers one of the three ports must name no owner. A list that cannot be
// read, is empty, is not in its format, or hides the addresses (all zero without CAP_SYS_ADMIN)
// refuses as well: nothing is ever written blindly. Returns nullptr when the ports are free.
const char* ioports_refusal(uint16_t first_port)
{
    const unsigned long last_port = first_port + 2UL;
    char line[256], owner[200] = "", problem[80] = "";
    unsigned long owner_start = 0, owner_end = 0, entries = 0, highest = 0;
    const int fd = open_high("/proc/ioports", O_RDONLY);
    FILE* list = fd < 0 ? nullptr : fdopen(fd, "r");
    if (!list) {
        std::snprintf(problem, sizeof problem, "%s", std::strerror(errno));
        if (fd >= 0)
            close(fd);
    }
    while (list && !owner[0] && !problem[0] && std::fgets(line, sizeof line, list)) {
        unsigned long start, end;
        int name_at = -1;
        char* const newline = std::strchr(line, '\n');
        if (newline)
            *newline = '\0';
        if (std::sscanf(line, " %lx-%lx : %n", &start, &end, &name_at) != 2 || name_at < 0 || !line[name_at] ||
            start > end || !newline) {
            std::snprintf(problem, sizeof problem, "line %lu is not in its format", entries + 1);
            break;
        }
        ++entries;
        highest = end > highest ? end : highest;
        if (start <= last_port && end >= first_port && !names_no_owner(line + name_at, start, first_port)) {
            std::snprintf(owner, sizeof owner, "%s", line + name_at);
            owner_start = start;
            owner_end = end;
        }
    }
    if (list && std::ferror(list) && !problem[0])
        std::snprintf(problem, sizeof problem, "%s", std::strerror(errno));
    if (list)
        std::fclose(list);
    if (!problem[0] && !owner[0] && entries == 0)
        std::snprintf(problem, sizeof problem, "empty");
    else if (!problem[0] && !owner[0] && highest == 0)
        std::snprintf(problem, sizeof problem, "all addresses read 0, as in a container without CAP_SYS_ADMIN");

    if (problem[0])
        std::snprintf(why, sizeof why, "/proc/ioports: %s, so the ports cannot be checked; "
                      "parallel ports known to the kernel: %s", problem, known);
    else if (owner[0] && owner_start == owner_end)
        std::snprintf(why, sizeof why, "port 0x%04lX belongs to %s; parallel ports known to the kernel: %s",
                      owner_start, owner, known);
    else if (owner[0])
        std::snprintf(why, sizeof why, "ports 0x%04lX-0x%04lX belong to %s; parallel ports known to the kernel: %s",
                      owner_start, owner_end, owner, known);
    return problem[0] || owner[0] ? why : nullptr;
}

// Root: the port is taken like everyone's (the kernel's claim where it knows the port and has its
// device, else a lock file after the /proc/ioports check), then the instructions are asked for.
const char* acquire_as_root(uint16_t first_port, int number)
{
    const char* device_refused = number < 0 ? no_parport() : open_device(number);
    const char* refused = nullptr;
    if (!device_refused)
        refused = lock_and_claim(number);
    else if (number < 0)
        refused = ioports_refusal(first_port);  // not the kernel's port: it must be no one else's
    if (!refused && device < 0)
        refused = lock_by_file(first_port);
    if (refused)
        return refused;
    if (ioperm(first_port, 3, 1) == 0) {
        instructions = true;
        return nullptr;
    }
    const int direct = errno;
    if (device >= 0)
        return nullptr;  // the claimed device serves the accesses instead
    std::snprintf(reason, sizeof reason, "ioperm: %s; %s",
                  direct == ENOSYS  ? "this kernel offers no user-space port access"
                  : direct == EPERM ? "not permitted (kernel lockdown under Secure Boot, or a container without CAP_SYS_RAWIO)"
                                    : std::strerror(direct),
                  device_refused);
    return reason;
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

const char* acquire_ports(uint16_t first_port)
{
    base = first_port;
    const int number = find_parport(first_port);
    // Only a process whose real user is root asks for the instructions: a capability set on the
    // executable must not let any local user write to any port.
    if (getuid() == 0)
        return acquire_as_root(first_port, number);
    if (number < 0)
        return no_parport();
    if (const char* refused = open_device(number))
        return refused;
    return lock_and_claim(number);
}
