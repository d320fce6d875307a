// Port backend for Linux on x86. Every run first takes the port for itself: an exclusive lock,
// then the kernel's claim (/dev/parportN, ppdev), waiting in turn with the other runs, with the
// printer driver and with other programs. Root then uses the in/out instructions (ioperm on the
// three ports only), everyone else one ppdev ioctl per register access. Root never touches ports
// the kernel does not know as a parallel port unless /proc/ioports shows that no driver owns them.
#include "link/decisions/ioports.h"
#include "link/port_io.h"
#include "link/x86_io.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/file.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {
int device = -1;            // the claimed /dev/parportN, kept open to the end; -1 when none
int lock_file = -1;         // root's lock for a port that has no such device; -1 when none
bool instructions = false;  // true when the in/out instructions serve the accesses
uint16_t base = 0;          // the data register's port; the status and control registers follow it
char device_path[32];       // the device's name, for the messages
char known[192];            // the bases of the parallel ports the kernel knows, "0x278 0x378" or "none"
char device_why[448];       // why the port's device cannot be used
char why[768];              // why another step of the way to the port failed
char reason[1024];          // the same, after why ioperm failed
char failure[96];           // why the first failed access failed; empty while none has
char ioports_text[65536];   // /proc/ioports, read whole for root's check
int ioperm_error = -1;      // root's ioperm, asked once: 0 granted, else its errno; -1 not yet asked
constexpr long tick_ms = 20;     // the wait's timer interval
volatile sig_atomic_t ticks = 0;  // intervals of waiting for the port, counted by the timer's signal
bool said_waiting = false;  // the wait line is printed once
struct sigaction saved_alarm;  // what SIGALRM did before the wait, restored after it
sigset_t saved_mask;        // the signals blocked before the wait, SIGALRM perhaps among them

// Moves a descriptor that open() returned above the standard three, so that nothing the tool prints
// to a closed standard output can ever reach a port device or a lock. Passes -1 (errno set) on.
int keep_high(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int saved = errno;
    close(fd);
    errno = saved;
    return high;
}

// Opens `path` on a descriptor above the standard three; -1 with errno set on failure.
int open_high(const char* path, int flags, mode_t mode = 0)
{
    return keep_high(open(path, flags | O_CLOEXEC, mode));
}

// Reads a /proc file into `text` (NUL-terminated), up to its end or to room - 1 characters; its
// length, or -1 with errno set.
ssize_t read_small(const char* path, char* text, size_t room)
{
    const int fd = open_high(path, O_RDONLY);
    if (fd < 0)
        return -1;
    size_t length = 0;
    ssize_t got = 1;
    while (got > 0 && length < room - 1)
        if ((got = read(fd, text + length, room - 1 - length)) > 0)
            length += static_cast<size_t>(got);
    const int saved = errno;
    close(fd);
    errno = saved;
    text[length] = '\0';
    return got < 0 ? -1 : static_cast<ssize_t>(length);
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

// The timer's signal handler: one more interval of waiting.
void count_tick(int)
{
    ticks = ticks + 1;
}

// Starts a timer that interrupts every wait for the port each tick_ms (no SA_RESTART: a
// sleeping flock or PPCLAIM returns EINTR), so that the wait can say what it waits for and a
// claim never sleeps in the kernel for longer than that. SIGINT and SIGTERM keep their default
// action and end a wait.
// SIGALRM is unblocked for the wait, in case the caller blocked it.
const char* start_ticks()
{
    struct sigaction tick {};
    tick.sa_handler = count_tick;
    sigset_t alarm_only;
    sigemptyset(&tick.sa_mask);
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    const timeval interval{tick_ms / 1000, tick_ms % 1000 * 1000};
    const itimerval every_tick{interval, interval};
    if (sigaction(SIGALRM, &tick, &saved_alarm) != 0 || sigprocmask(SIG_UNBLOCK, &alarm_only, &saved_mask) != 0 ||
        setitimer(ITIMER_REAL, &every_tick, nullptr) != 0) {
        std::snprintf(why, sizeof why, "the wait for the port cannot be timed (%s)", std::strerror(errno));
        return why;
    }
    return nullptr;
}

// Stops the timer and gives SIGALRM back its earlier action and mask, so that no signal and no system
// call comes between the port accesses. A tick that was already due arrives on the way out of
// setitimer, while the counting handler is still in place.
const char* stop_ticks()
{
    static char stop_why[96];
    const itimerval never{};
    if (setitimer(ITIMER_REAL, &never, nullptr) != 0 || sigaction(SIGALRM, &saved_alarm, nullptr) != 0 ||
        sigprocmask(SIG_SETMASK, &saved_mask, nullptr) != 0) {
        std::snprintf(stop_why, sizeof stop_why, "the timer of the wait cannot be stopped (%s)", std::strerror(errno));
        return stop_why;
    }
    return nullptr;
}

// Once the wait has lasted a second: one line on standard error, once, naming what is waited for
// and why. Best effort: a standard error that cannot be written changes nothing.
void say_waiting(const char* what, const char* reason, const char* holder = "")
{
    if (ticks < 1000 / tick_ms || said_waiting)
        return;
    said_waiting = true;
    char line[192];
    const int length = std::snprintf(line, sizeof line, "quorva: waiting for %s: %s%s\n", what, reason, holder);
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line, static_cast<size_t>(length));
}

// Takes the exclusive lock on `fd` (`what` names it in the wait line), sleeping while another run
// holds it. False with errno set.
bool lock_exclusive(int fd, const char* what)
{
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
        say_waiting(what, "another quorva run is using it");
    }
    return true;
}

// Reads the holder of port N from /proc/sys/dev/parport/parportN/devices/active into `holder`
// ("lp", "ppdev0", or "none" when the port is free). Returns nullptr, else why it cannot be read.
const char* read_holder(int number, char* holder, size_t room)
{
    char path[80];
    std::snprintf(path, sizeof path, "/proc/sys/dev/parport/parport%d/devices/active", number);
    if (read_small(path, holder, room) < 0) {
        std::snprintf(why, sizeof why, "%s: %s", path, std::strerror(errno));
        return why;
    }
    holder[std::strcspn(holder, "\n")] = '\0';
    return nullptr;
}

// Looks in /proc/sys/dev/parport/parportN/devices/, where each device registered on the port has
// a folder, for one whose name begins with `prefix` ("" for any), and copies its name into `found`
// ("" when there is none). Returns nullptr, else why the folder cannot be read.
const char* find_device(int number, const char* prefix, char* found, size_t room)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/sys/dev/parport/parport%d/devices", number);
    found[0] = '\0';
    DIR* const folder = opendir(path);
    if (!folder) {
        std::snprintf(why, sizeof why, "%s: %s", path, std::strerror(errno));
        return why;
    }
    errno = 0;
    while (const dirent* entry = found[0] ? nullptr : readdir(folder))
        if (entry->d_name[0] != '.' && std::strcmp(entry->d_name, "active") != 0 &&
            std::strncmp(entry->d_name, prefix, std::strlen(prefix)) == 0)
            std::snprintf(found, room, "%s", entry->d_name);
    const int error = found[0] ? 0 : errno;
    closedir(folder);
    if (!error)
        return nullptr;
    std::snprintf(why, sizeof why, "%s: %s", path, std::strerror(error));
    return why;
}

// After a claim that the timer cut short: the kernel leaves the device on the port's wait list,
// and the run waits here, outside ppdev's one mutex, so that runs on other ports go on. When the
// holder yields, the kernel hands the port to the first device on that list. Every ppdev device
// of a port has the same name in devices/active, so a ppdev device named there is this one only
// when the first look after the claim found a holder that is not a ppdev device: a ppdev program
// ahead on the list sleeps in its own claim, holding the mutex, so this claim entered only after
// that program was given the port, and the first look names it. Sets `handed` when the port is
// certainly this device's; false (the holder let go, or it cannot be told) means the caller
// leaves the list. Returns nullptr, else why devices/active cannot be read.
const char* await_handover(int number, bool& handed)
{
    char holder[64];
    const timespec pause{tick_ms / 1000, tick_ms % 1000 * 1000 * 1000};
    for (bool first = true;; first = false) {
        if (const char* unreadable = read_holder(number, holder, sizeof holder))
            return unreadable;
        handed = !first && std::strncmp(holder, "ppdev", 5) == 0;
        if (std::strncmp(holder, "ppdev", 5) == 0 || std::strcmp(holder, "none") == 0)
            return nullptr;
        say_waiting(device_path, "held by ", holder);
        nanosleep(&pause, nullptr);  // a tick may cut it short
    }
}

// Root asks for the port instructions on the three ports, once. True when they serve the accesses.
bool take_instructions()
{
    if (ioperm_error < 0)
        ioperm_error = ioperm(base, 3, 1) == 0 ? 0 : errno;
    instructions = ioperm_error == 0;
    return instructions;
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

// Why the kernel refused the claim, from errno.
const char* claim_refused()
{
    std::snprintf(why, sizeof why, "%s: the port cannot be claimed (%s)", device_path, std::strerror(errno));
    return why;
}

// Locks the open device against other runs and claims the port from the kernel, in turn with the
// printer driver and other programs. PPCLAIM puts the device on the port's wait list, which is
// what a driver such as lp gives the port up to; but a sleeping PPCLAIM holds ppdev's one mutex,
// for all ports, so a holder that uses the port through ppdev itself is waited for out here, and
// the timer cuts a waiting claim short after a tick. The device stays on the list, and the run
// waits out here for the hand-over (await_handover), then claims once more, which the kernel
// grants at once to the device that holds the port. A second PPCLAIM while the device still waits
// would put it on the list twice, so where the hand-over is not certain the descriptor is closed
// (which takes it off the list, and gives back a port handed over meanwhile), opened, locked and
// claimed afresh. No PPEXCL (it fails while the printer driver is loaded) and no mode change: the
// port stays in compatibility mode. The kernel releases lock and claim when the process ends.
const char* claim_in_turn(int number)
{
    char holder[64], in_the_way[sizeof(dirent::d_name)];
    const timespec pause{0, 20 * 1000 * 1000};
    int registered_polls = 50;  // about a second, for the whole run
    for (;;) {
        if (!lock_exclusive(device, device_path)) {
            std::snprintf(why, sizeof why, "%s: the port cannot be locked (%s)", device_path, std::strerror(errno));
            return why;
        }
        // A ppdev program that holds the port is waited for out here for as long as it holds it.
        // A ppdev device that is only registered on the port is waited for about a second at
        // most: a run that has just ended gives up its lock a moment before the kernel takes its
        // device away, and a second device of the same name is best not registered meanwhile;
        // but a program that keeps the device open without holding the port must not stop the
        // run for ever (the kernel lets both register, and the claim waits in its turn).
        for (;;) {
            if (const char* unreadable = read_holder(number, holder, sizeof holder))
                return unreadable;
            const bool ppdev_holder = std::strncmp(holder, "ppdev", 5) == 0;
            if (const char* unreadable = ppdev_holder ? nullptr : find_device(number, "ppdev", in_the_way, sizeof in_the_way))
                return unreadable;
            if (!ppdev_holder && (!in_the_way[0] || registered_polls-- <= 0))
                break;
            if (ppdev_holder)
                say_waiting(device_path, "held by ", holder);
            nanosleep(&pause, nullptr);  // a tick may cut it short
        }
        if (std::strcmp(holder, "none") != 0)
            say_waiting(device_path, "held by ", holder);
        bool handed = false;
        if (ioctl(device, PPCLAIM) == 0)
            return nullptr;
        if (errno != EINTR)
            return claim_refused();
        if (const char* unreadable = await_handover(number, handed))
            return unreadable;
        // Root's instructions need no claim of its own: the port is this device's already, and a
        // second PPCLAIM could wait for ppdev's mutex behind another program asleep in its claim
        // for this very port, for ever.
        if (handed && getuid() == 0 && take_instructions())
            return nullptr;
        if (handed)
            return ioctl(device, PPCLAIM) == 0 ? nullptr : claim_refused();
        if (close(device) != 0 && errno != EINTR) {
            std::snprintf(why, sizeof why, "%s: %s", device_path, std::strerror(errno));
            return why;
        }
        device = -1;
        if (const char* refused = open_device(number))
            return refused;
    }
}

// The turn-taking of claim_in_turn under the timer.
const char* lock_and_claim(int number)
{
    const char* failed = start_ticks();
    if (failed)
        return failed;
    failed = claim_in_turn(number);
    const char* stopped = stop_ticks();
    return failed ? failed : stopped;
}

// Root's lock for a port without a device: /run/quorva/0xNNNN.lock. The folder is root's alone
// (made with mode 0700; used only when it is a real folder owned by root that neither group nor
// others may write), so no other user can hold the lock or swap the file under a run; each file is
// a regular one of mode 0600.
const char* lock_by_file(uint16_t first_port)
{
    char path[48] = "/run/quorva";
    const char* problem = nullptr;
    struct stat info;
    const int folder = mkdir(path, 0700) == 0 || errno == EEXIST ? open_high(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW) : -1;
    if (folder < 0 || fstat(folder, &info) != 0)
        problem = errno == ELOOP || errno == ENOTDIR ? "not a real folder" : std::strerror(errno);
    else if (info.st_uid != 0)
        problem = "not owned by root";
    else if (info.st_mode & (S_IWGRP | S_IWOTH))
        problem = "writable by group or others";
    const bool folder_refused = problem != nullptr;
    if (!problem) {
        std::snprintf(path, sizeof path, "/run/quorva/0x%04X.lock", first_port);
        lock_file = keep_high(openat(folder, path + 12, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (lock_file < 0 || fstat(lock_file, &info) != 0)
            problem = std::strerror(errno);
        else if (!S_ISREG(info.st_mode))
            problem = "not a regular file";
    }
    if (folder >= 0)
        close(folder);
    if (problem) {
        std::snprintf(why, sizeof why, "the lock %s %s cannot be used (%s)", folder_refused ? "folder" : "file", path, problem);
        return why;
    }
    char port[16];
    std::snprintf(port, sizeof port, "port 0x%X", first_port);
    if (const char* failed = start_ticks())
        return failed;
    const bool locked = lock_exclusive(lock_file, port);
    const int error = errno;
    const char* stopped = stop_ticks();
    if (!locked)
        std::snprintf(why, sizeof why, "the lock file %s cannot be used (%s)", path, std::strerror(error));
    return locked ? stopped : why;
}

// The class of the PCI device at `address` (already checked to be one), from sysfs, for the
// check of /proc/ioports: "0x070100\n", or nullptr with `problem` set.
const char* read_pci_class(const char* address, const char*& problem)
{
    static char text[32];
    char path[64];
    std::snprintf(path, sizeof path, "/sys/bus/pci/devices/%s/class", address);
    problem = read_small(path, text, sizeof text) < 0 ? std::strerror(errno) : nullptr;
    return problem ? nullptr : text;
}

// Root's check before ioperm on ports the kernel does not know as a parallel port: the whole of
// /proc/ioports, judged by ioports_refusal, with the classes of the PCI devices from sysfs.
// Returns nullptr when the ports are free.
const char* check_ioports(uint16_t first_port)
{
    const ssize_t length = read_small("/proc/ioports", ioports_text, sizeof ioports_text);
    const char* problem = length < 0                                           ? std::strerror(errno)
                          : static_cast<size_t>(length) == sizeof ioports_text - 1 ? "longer than 64 KiB"
                                                                               : nullptr;
    return ioports_refusal(problem ? nullptr : ioports_text, problem, first_port, known, read_pci_class);
}

// The kernel's port N whose device cannot be opened (ppdev not loaded): nothing would keep a
// driver registered on it, such as the printer driver, from writing to the port in the middle of
// the download, so root goes on only while /proc/sys/dev/parport/parportN/devices/ names none
// besides "active". Returns nullptr then, else why not.
const char* check_drivers(int number, const char* device_refused)
{
    char driver[sizeof(dirent::d_name)];
    if (const char* unreadable = find_device(number, "", driver, sizeof driver)) {
        std::snprintf(reason, sizeof reason, "%s; %s", device_refused, unreadable);
        return reason;
    }
    if (!driver[0])
        return nullptr;
    std::snprintf(why, sizeof why, "%s; %s is registered on parport%d and would write to the port "
                  "during the download, so the port must be claimed through ppdev", device_refused, driver, number);
    return why;
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
        refused = check_ioports(first_port);  // not the kernel's port: it must be no one else's
    else
        refused = check_drivers(number, device_refused);
    if (!refused && device < 0)
        refused = lock_by_file(first_port);
    if (refused)
        return refused;
    if (take_instructions())
        return nullptr;
    const int direct = ioperm_error;
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

namespace {
// The way to the port, in turn with everyone else's; nullptr when the ports may be used.
const char* acquire(uint16_t first_port)
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
}  // namespace

std::string acquire_ports(uint16_t first_port)
{
    const char* refused = acquire(first_port);
    return refused ? refused : "";
}
