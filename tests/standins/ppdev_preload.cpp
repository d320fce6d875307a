// LD_PRELOAD stand-in for the kernel's parallel-port device under the real quorva: it answers the
// /proc/sys/dev/parport look-up, /proc/ioports, the PCI devices' classes, the open of /dev/parportN
// and the PP ioctls from the simulated board, and refuses ioperm, so that no run under it ever
// reaches real port hardware.
// At exit it prints on standard error the steps quorva took to the port, in order: "lock" (flock,
// once for each wait), "busy" (devices/active read while another holds the port), "claim"
// (PPCLAIM), "registered claim" (one made while the devices folder names ppdev0), "interrupted" (a
// PPCLAIM that a signal ended with EINTR), "ioperm(0xNNN)".
// It aborts on a claim before the lock, on a claim while a ppdev program holds the port (the claim
// would hold ppdev's one mutex that the holder needs), on a claim that sleeps for more than 200 ms
// (it would hold that mutex against the runs on every other port), on a second claim on a
// descriptor whose claim was interrupted before the port was handed to it (the kernel would put
// it on the port's wait list twice), on a first port access while the wait's timer still runs or
// SIGALRM is still caught, on any use of /run/lock, and it exits with status 98 when anything was
// written to the device itself.
// /dev/parportN is the file parportN in the current folder, opened anew each time, so that flock
// works between processes; each open gets its own file offset, which tells descriptions apart.
// /run/quorva is run-quorva there, each parportN/devices folder is the folder "devices" there, and
// /sys/bus/pci/devices is pci-devices there.
// Its settings (FAKE_* in the environment) are listed in tests/standins/README.md.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <ctime>
#include <string>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "link/port_io.h"
#include "sim/sim_board.h"

#define EXPORTED extern "C" __attribute__((visibility("default")))
#define REAL(name) reinterpret_cast<decltype(&name)>(dlsym(RTLD_NEXT, #name))

namespace {
int port_fd = -1;     // the descriptor quorva uses for /dev/parportN (it may move it to another)
ino_t port_inode;     // the file behind it, which tells it from every other descriptor
char port_path[32];   // that file's name
off_t opens = 0;      // opens of the device so far: the offset that marks each description
off_t waiting = -1;   // the description whose claim was interrupted: it stays on the wait list
long waiting_turn = 0;  // since which of lp's turns (hold_ms each)
long accesses = 0;  // port accesses so far
uint16_t base = 0;
bool claimed = false, locked = false;
FILE* trace = nullptr;
char steps[512];  // quorva's steps to the port

// The number in the variable `name`, or `otherwise` when it is not set.
long number_in(const char* name, long otherwise)
{
    const char* text = std::getenv(name);
    return text ? std::atol(text) : otherwise;
}

long now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const char* holder = std::getenv("FAKE_HOLDER");
const long hold_ms = number_in("FAKE_HOLD_MS", 1000), started_ms = now_ms();
const bool sleeper = std::getenv("FAKE_SLEEPER") != nullptr;

// The name devices/active shows: the holder while it holds the port, else "none". lp yields at
// each new turn to the description waiting since an earlier one; every ppdev device of parport0,
// the sleeper's and quorva's, shows as "ppdev0".
const char* active()
{
    const long turn = (now_ms() - started_ms) / hold_ms;
    if (!holder || claimed || ((std::strncmp(holder, "ppdev", 5) == 0 || sleeper) && turn >= 1 + sleeper))
        return "none";
    return turn < 1 || (!sleeper && (waiting < 0 || turn <= waiting_turn)) ? holder : "ppdev0";
}

void step(const char* what)
{
    const size_t used = std::strlen(steps);
    if ((std::strcmp(what, "busy") == 0 || std::strcmp(what, "lock") == 0) && used >= 5 && steps[used - 5] == ' ' && std::strcmp(steps + used - 4, what) == 0)
        return;  // one "busy" for each stretch of polls, one "lock" for each wait for the lock
    std::snprintf(steps + used, sizeof steps - used, " %s", what);
}

// True when `fd` is the port device, under whatever number quorva keeps it.
bool is_port(int fd)
{
    struct stat info;
    if (fd >= 0 && fd != port_fd && port_inode && fstat(fd, &info) == 0 && info.st_ino == port_inode)
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
    if (port_inode && stat(port_path, &info) == 0 && info.st_size > 0) {
        dprintf(STDERR_FILENO, "stand-in: %lld bytes written to the port device\n", static_cast<long long>(info.st_size));
        _exit(98);
    }
}
}  // namespace

EXPORTED uid_t getuid() noexcept
{
    return static_cast<uid_t>(number_in("FAKE_UID", 0));
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
    static const auto real_open = REAL(open);
    const int info = parport_number(path, "/proc/sys/dev/parport/parport%d/base-addr%n");
    const int active_of = parport_number(path, "/proc/sys/dev/parport/parport%d/devices/active%n");
    const int device = parport_number(path, "/dev/parport%d%n");
    if (std::strcmp(path, "/proc/ioports") == 0)
        return real_open(std::getenv("FAKE_IOPORTS") ? std::getenv("FAKE_IOPORTS") : "ioports.txt", flags);
    if (std::strncmp(path, "/sys/bus/pci/devices/", 21) == 0)
        return real_open((std::string("pci-devices/") + (path + 21)).c_str(), flags);
    if (std::strncmp(path, "/run/lock", 9) == 0)
        std::abort();  // root's locks are in root's own folder
    if (std::strncmp(path, "/run/quorva", 11) == 0)
        return real_open((std::string("run-quorva") + (path + 11)).c_str(), flags, mode);
    if (active_of >= 0) {
        if (std::strcmp(active(), "none") != 0)
            step("busy");
        return proc_file((std::string(active()) + "\n").c_str());
    }
    if (info < 0 && device < 0)
        return real_open(path, flags, mode);
    const long port = number_in(("FAKE_PARPORT" + std::to_string(info >= 0 ? info : device)).c_str(), -1);
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
    std::snprintf(port_path, sizeof port_path, "parport%d", device);
    if ((port_fd = real_open(port_path, flags | O_CREAT, 0600)) < 0 || lseek(port_fd, ++opens, SEEK_SET) < 0)
        std::abort();
    struct stat file;
    fstat(port_fd, &file);
    port_inode = file.st_ino;
    locked = false, waiting = -1;  // the lock and the place on the list were the closed description's
    return port_fd;
}

EXPORTED int mkdir(const char* path, mode_t mode) noexcept
{
    return REAL(mkdir)(std::strcmp(path, "/run/quorva") == 0 ? "run-quorva" : path, mode);
}

EXPORTED DIR* opendir(const char* path)
{
    return REAL(opendir)(parport_number(path, "/proc/sys/dev/parport/parport%d/devices%n") >= 0 ? "devices" : path);
}

// The real fstat, with root (or FAKE_RUN_UID) as the owner of the folder that stands for /run/quorva.
EXPORTED int fstat(int fd, struct stat* info) noexcept
{
    struct stat run;
    const int result = REAL(fstat)(fd, info);
    if (result == 0 && S_ISDIR(info->st_mode) && stat("run-quorva", &run) == 0 && run.st_ino == info->st_ino)
        info->st_uid = static_cast<uid_t>(number_in("FAKE_RUN_UID", 0));
    return result;
}

EXPORTED int flock(int fd, int operation) noexcept
{
    if (operation & LOCK_EX)
        step("lock");
    const int result = REAL(flock)(fd, operation);
    locked = locked || (result == 0 && (operation & LOCK_EX) && is_port(fd));
    return result;
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
    if (command == PPCLAIM) {
        const bool on_list = waiting >= 0 && lseek(fd, 0, SEEK_CUR) == waiting;
        const bool handed = on_list && !sleeper && std::strcmp(active(), "ppdev0") == 0;
        if (claimed || !locked || on_list != handed || (!handed && std::strncmp(active(), "ppdev", 5) == 0))
            std::abort();  // twice, before the lock, again while on the list, or holding ppdev's mutex from a ppdev holder
        // The sleeper holds ppdev's mutex until lp yields to it: no signal ends that wait.
        for (timespec rest{hold_ms / 1000, hold_ms % 1000 * 1000000}; sleeper && opens == 1 && waiting < 0 && nanosleep(&rest, &rest);) {}
        // While a driver in the kernel holds the port, the claim sleeps on the port's wait list
        // until the driver next yields (every hold_ms), or until a signal ends it with EINTR; the
        // claim of the device that the port was handed to is granted at once.
        const long asleep = now_ms(), left = hold_ms - (asleep - started_ms) % hold_ms;
        const timespec pause{left / 1000, left % 1000 * 1000000};
        const bool cut = !handed && std::strcmp(active(), "none") != 0 && nanosleep(&pause, nullptr) != 0;
        if (now_ms() - asleep > 200)
            std::abort();  // asleep with ppdev's one mutex, which every other port's run needs
        if (cut)
            return waiting = lseek(fd, 0, SEEK_CUR), waiting_turn = (now_ms() - started_ms) / hold_ms, step("interrupted"), errno = EINTR, -1;
        return waiting = -1, claimed = true, step(access("devices/ppdev0", F_OK) == 0 ? "registered claim" : "claim"), 0;
    }
    if (!claimed)
        return errno = EINVAL, -1;
    static const long fail_at = number_in("FAKE_FAIL_ACCESS", 0);
    itimerval timer;
    struct sigaction alarm;
    if (accesses == 0 && (getitimer(ITIMER_REAL, &timer) != 0 || timer.it_value.tv_sec || timer.it_value.tv_usec ||
                          sigaction(SIGALRM, nullptr, &alarm) != 0 || alarm.sa_handler != SIG_DFL))
        std::abort();  // the wait's timer must be gone before the first access
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
