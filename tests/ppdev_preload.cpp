// LD_PRELOAD stand-in for the kernel's parallel-port device under the real quorva: it answers the
// /proc/sys/dev/parport look-up, the open of /dev/parportN and the PP ioctls from the simulated
// board, and refuses ioperm, so that no run under it ever reaches real port hardware.
// Environment:
//   FAKE_PARPORTn=888        decimal base of parportn (n = 0, 1, ...); none set: no parallel port
//   FAKE_PARPORT_ERRNO=E     opening /dev/parportN fails with the error E (EACCES, ENOENT, ...)
//   FAKE_IOPERM_ERRNO=E      ioperm fails with the error E instead of ENOSYS
//   FAKE_UID=N               getuid returns N instead of 0 (root); ioperm while it is not 0
//                            aborts, and so does one for other than the three ports at 0x378
//                            (every run as root looks for its board there)
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
#include <sys/mman.h>
#include <unistd.h>

#include "link/port_io.h"
#include "sim/sim_board.h"

#define EXPORTED extern "C" __attribute__((visibility("default")))

namespace {
int port_fd = -1;  // the descriptor handed out for /dev/parportN
long accesses = 0;  // port accesses so far
uint16_t base = 0;
bool claimed = false;
FILE* trace = nullptr;

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
}
}  // namespace

EXPORTED uid_t getuid() noexcept
{
    const char* uid = std::getenv("FAKE_UID");
    return uid ? static_cast<uid_t>(std::atol(uid)) : 0;
}

EXPORTED int ioperm(unsigned long from, unsigned long count, int on) noexcept
{
    if (getuid() != 0 || from != 0x378 || count != 3 || on != 1)
        std::abort();  // a normal user never asks for the port instructions, root only for three
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
    const int device = parport_number(path, "/dev/parport%d%n");
    if (info < 0 && device < 0)
        return real_open(path, flags, mode);
    const long port = fake_base(info >= 0 ? info : device);
    if (port < 0)
        return errno = ENOENT, -1;
    if (info >= 0) {
        const int fd = memfd_create("base-addr", MFD_CLOEXEC);
        dprintf(fd, "%ld\t%ld\n", port, port + 1024);
        lseek(fd, 0, SEEK_SET);
        return fd;
    }
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
    return port_fd = real_open("/dev/null", O_RDWR | O_CLOEXEC);
}


// One simulated port access for each of the three access ioctls that the link needs, none before
// PPCLAIM (like the kernel); any other request on the port aborts, so that an extra one shows.
EXPORTED int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    unsigned char* byte = va_arg(args, unsigned char*);
    va_end(args);
    if (fd < 0 || fd != port_fd)
        return reinterpret_cast<int (*)(int, unsigned long, void*)>(dlsym(RTLD_NEXT, "ioctl"))(fd, request, byte);
    const unsigned command = static_cast<unsigned>(request);
    if (command == PPCLAIM || !claimed)
        return command == PPCLAIM && !claimed ? (claimed = true, 0) : (errno = EINVAL, -1);
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
