// LD_PRELOAD stand-in for the kernel's parallel-port device under the real quorva: it answers the
// /proc/sys/dev/parport look-up, /proc/ioports, the open of /dev/parportN and the PP ioctls from
// the simulated board, and refuses ioperm, so that no run under it ever reaches real port hardware.
// At exit it prints on standard error the steps quorva took to the port, in order: "lock" (flock),
// "busy" (devices/active read while another holds the port), "claim" (PPCLAIM), "ioperm(0xNNN)".
// It aborts on a claim before the lock or while the port is held (the kernel would block there),
// and exits with status 98 when anything was written to the device itself.
// /run/lock/NAME is served from NAME in the current folder.
// Environment:
//   FAKE_PARPORTn=888        decimal base of parportn (n = 0, 1, ...); none set: no parallel port
//   FAKE_PARPORT_ERRNO=E     opening /dev/parportN fails with the error E (EACCES, ENOENT, ...)
//   FAKE_IOPERM_ERRNO=E      ioperm fails with the error E instead of ENOSYS
//   FAKE_UID=N               getuid returns N instead of 0 (root); ioperm while it is not 0
//                            aborts, and so does one for other than three ports
//   FAKE_IOPORTS=FILE        /proc/ioports is FILE (default: ioports.txt in the current folder)
//   FAKE_PORT_BUSY=N         devices/active names another holder for the first N reads
//   FAKE_TRACE=FILE          every port access, "W PPPP VV" or "R PPPP VV", as quorva-sim --trace
//   FAKE_MEMORY=FILE         the board's 64 KiB at process exit, as quorva-sim --memory
//   FAKE_STALL_AFTER=N       the board answers N transfers, then stays silent
//   FAKE_FAIL_ACCESS=N       the Nth port access (1 is the first) fails with EIO; any access
//                            after it aborts, since the tool must stop at a failed one
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/port_io.h"
#include "sim/sim_board.h"

#define EXPORTED extern "C" __attribute__((visibility("default")))

namespace {
int port_fd = -1;     // the descriptor quorva uses for /dev/parportN (it may move it to another)
ino_t port_inode;     // the memory file behind it, which tells it from every other descriptor
int port_kept = -1;   // the stand-in's own descriptor of that file, to see at exit what it holds
long accesses = 0;  // port accesses so far
uint16_t base = 0;
bool claimed = false, locked = false, port_free = false;
FILE* trace = nullptr;
char steps[512];  // quorva's steps to the port

void step(const char* what)
{
    const size_t used = std::strlen(steps);
    std::snprintf(steps + used, sizeof steps - used, " %s", what);
}

// True when `fd` is the port device, under whatever number quorva keeps it.
bool is_port(int fd)
{
    struct stat info;
    if (fd >= 0 && fd != port_fd && port_kept >= 0 && fstat(fd, &info) == 0 && info.st_ino == port_inode)
        port_fd = fd;
    return fd >= 0 && fd == port_fd;
}

// A memory file that reads `text`, as one of the kernel's /proc files.
int proc_file(const char* text)
{
    const int fd = memfd_create("proc", MFD_CLOEXEC);
    dprintf(fd, "%s", text);
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// The error named by the variable ("EACCES"), or `otherwise` when it is not set.
int named_error(const char* variable, int otherwise)
{
    const char* name = std::getenv(variable);
    for (int error = 1; name && error < 200; ++error)
        if (const char* known = strerrorname_np(error); known && std::strcmp(known, name) == 0)
            return error;
    return otherwise;
}

// The base of parport `number` from FAKE_PARPORTn, or -1 when there is none.
long fake_base(int number)
{
    char name[32];
    std::snprintf(name, sizeof name, "FAKE_PARPORT%d", number);
    const char* base = std::getenv(name);
    return base ? std::atol(base) : -1;
}

// N when `path` is exactly `format` (which ends in %n) with N filled in, otherwise -1.
int parport_number(const char* path, const char* format)
{
    int number = -1, length = -1;
    return std::sscanf(path, format, &number, &length) == 1 && length >= 0 && !path[length] ? number : -1;
}

__attribute__((destructor)) void finish()
{
    if (trace)
        std::fclose(trace);
    if (const char* path = std::getenv("FAKE_MEMORY"))
        sim_save_memory(std::fopen(path, "wb"));
    if (steps[0])
        dprintf(STDERR_FILENO, "stand-in:%s\n", steps);
    struct stat info;
    if (port_kept >= 0 && fstat(port_kept, &info) == 0 && info.st_size > 0) {
        dprintf(STDERR_FILENO, "stand-in: %lld bytes written to the port device\n", static_cast<long long>(info.st_size));
        _exit(98);
    }
}
}  // namespace

EXPORTED uid_t getuid() noexcept
{
    const char* uid = std::getenv("FAKE_UID");
    return uid ? static_cast<uid_t>(std::atol(uid)) : 0;
}

EXPORTED int ioperm(unsigned long from, unsigned long count, int on) noexcept
{
    if (getuid() != 0 || count != 3 || on != 1)
        std::abort();  // a normal user never asks for the port instructions, root only for three
    char text[32];
    std::snprintf(text, sizeof text, "ioperm(0x%lX)", from);
    step(text);
    return errno = named_error("FAKE_IOPERM_ERRNO", ENOSYS), -1;
}

// Serves the parallel-port paths; every other path goes to the real open.
EXPORTED int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
    va_end(args);
    static const auto real_open = reinterpret_cast<int (*)(const char*, int, ...)>(dlsym(RTLD_NEXT, "open"));
    const int info = parport_number(path, "/proc/sys/dev/parport/parport%d/base-addr%n");
    const int active = parport_number(path, "/proc/sys/dev/parport/parport%d/devices/active%n");
    const int device = parport_number(path, "/dev/parport%d%n");
    if (std::strcmp(path, "/proc/ioports") == 0)
        return real_open(std::getenv("FAKE_IOPORTS") ? std::getenv("FAKE_IOPORTS") : "ioports.txt", flags);
    if (std::strncmp(path, "/run/lock/", 10) == 0)
        return real_open(path + 10, flags, mode);
    if (active >= 0) {
        static long busy = std::atol(std::getenv("FAKE_PORT_BUSY") ? std::getenv("FAKE_PORT_BUSY") : "0");
        if (!(port_free = busy-- <= 0))
            step("busy");
        return proc_file(port_free ? "none\n" : "lp0\n");
    }
    if (info < 0 && device < 0)
        return real_open(path, flags, mode);
    const long port = fake_base(info >= 0 ? info : device);
    if (port < 0)
        return errno = ENOENT, -1;
    char text[64];
    if (info >= 0 && std::snprintf(text, sizeof text, "%ld\t%ld\n", port, port + 1024))
        return proc_file(text);
    if ((flags & O_ACCMODE) != O_RDWR || !(flags & O_CLOEXEC))
        std::abort();
    if (const int error = named_error("FAKE_PARPORT_ERRNO", 0))
        return errno = error, -1;
    base = static_cast<uint16_t>(port);
    SimBoardConfig board;
    board.base = base;
    if (const char* stall = std::getenv("FAKE_STALL_AFTER"))
        board.stall_after = std::strtoull(stall, nullptr, 10);
    sim_reset(board);
    if (const char* path = std::getenv("FAKE_TRACE"))
        sim_trace_to(trace = std::fopen(path, "w"));
    port_fd = memfd_create("parport", MFD_CLOEXEC);
    struct stat file;
    fstat(port_fd, &file);
    port_inode = file.st_ino;
    port_kept = fcntl(port_fd, F_DUPFD_CLOEXEC, 100);
    return port_fd;
}

EXPORTED int flock(int fd, int operation) noexcept
{
    if (operation & LOCK_EX)
        locked = true, step("lock");
    return reinterpret_cast<int (*)(int, int)>(dlsym(RTLD_NEXT, "flock"))(fd, operation);
}


// One simulated port access for each of the three access ioctls that the link needs, none before
// PPCLAIM (like the kernel); any other request on the port aborts, so that an extra one shows.
EXPORTED int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    unsigned char* byte = va_arg(args, unsigned char*);
    va_end(args);
    if (!is_port(fd))
        return reinterpret_cast<int (*)(int, unsigned long, void*)>(dlsym(RTLD_NEXT, "ioctl"))(fd, request, byte);
    const unsigned command = static_cast<unsigned>(request);
    if (command == PPCLAIM && (!locked || !port_free))
        std::abort();  // before the lock, or inside the kernel while another holds the port
    if (command == PPCLAIM || !claimed)
        return command == PPCLAIM && !claimed ? (claimed = true, step("claim"), 0) : (errno = EINVAL, -1);
    static const long fail_at = std::atol(std::getenv("FAKE_FAIL_ACCESS") ? std::getenv("FAKE_FAIL_ACCESS") : "0");
    if (command != PPRELEASE && ++accesses >= fail_at && fail_at > 0)
        return accesses > fail_at ? (std::abort(), -1) : (errno = EIO, -1);
    switch (command) {
    case PPRELEASE: claimed = false; break;
    case PPWDATA: write_port(base, *byte); break;
    case PPWCONTROL: write_port(static_cast<uint16_t>(base + 2), *byte); break;
    case PPRSTATUS: *byte = read_port(static_cast<uint16_t>(base + 1)); break;
    default: std::abort();
    }
    return 0;
}
