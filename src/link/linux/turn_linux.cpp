// The Linux backend's turn: the exclusive lock and the kernel's claim of /dev/parportN, or root's
// lock file, each waited for under a timer that cuts every sleep short, so that the wait can say
// what it waits for and a claim never sleeps long in ppdev's one mutex.
#include "link/linux/turn_linux.h"

#include "link/linux/proc_linux.h"
#include "link/text.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {
int lock_file = -1;               // root's lock for a port that has no device; -1 when none
constexpr long tick_ms = 20;      // the wait's timer interval
volatile sig_atomic_t ticks = 0;  // intervals of waiting for the port, counted by the timer's signal
bool said_waiting = false;        // the wait line is printed once
struct sigaction saved_alarm;     // what SIGALRM did before the wait, restored after it
sigset_t saved_mask;              // the signals blocked before the wait, SIGALRM perhaps among them
// The sleep between two looks at devices/active: one tick, which may also cut it short.
constexpr timespec tick_pause{tick_ms / 1000, tick_ms % 1000 * 1000 * 1000};

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
std::string start_ticks()
{
    struct sigaction tick {};
    tick.sa_handler = count_tick;
    sigset_t alarm_only;
    sigemptyset(&tick.sa_mask);
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    const timeval interval{tick_ms / 1000, tick_ms % 1000 * 1000};
    const itimerval every_tick{interval, interval};
    if (sigaction(SIGALRM, &tick, &saved_alarm) != 0 ||
        sigprocmask(SIG_UNBLOCK, &alarm_only, &saved_mask) != 0 ||
        setitimer(ITIMER_REAL, &every_tick, nullptr) != 0)
        return text_printf("the wait for the port cannot be timed (%s)", std::strerror(errno));
    return "";
}

// Stops the timer and gives SIGALRM back its earlier action and mask, so that no signal and no system
// call comes between the port accesses. A tick that was already due arrives on the way out of
// setitimer, while the counting handler is still in place.
std::string stop_ticks()
{
    const itimerval never{};
    if (setitimer(ITIMER_REAL, &never, nullptr) != 0 || sigaction(SIGALRM, &saved_alarm, nullptr) != 0 ||
        sigprocmask(SIG_SETMASK, &saved_mask, nullptr) != 0)
        return text_printf("the timer of the wait cannot be stopped (%s)", std::strerror(errno));
    return "";
}

// Once the wait has lasted a second: one line on standard error, once, naming what is waited for
// and why. Best effort: a standard error that cannot be written changes nothing.
void say_waiting(const std::string& what, const char* reason, const char* holder = "")
{
    if (ticks < 1000 / tick_ms || said_waiting)
        return;
    said_waiting = true;
    const std::string line = text_printf("quorva: waiting for %s: %s%s\n", what.c_str(), reason, holder);
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
}

// Takes the exclusive lock on `fd` (`what` names it in the wait line), sleeping while another run
// holds it. False with errno set.
bool lock_exclusive(int fd, const std::string& what)
{
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
        say_waiting(what, "another quorva run is using it");
    }
    return true;
}

// After a claim that the timer cut short: the kernel leaves the device on the port's wait list,
// and the run waits here, outside ppdev's one mutex, so that runs on other ports go on. When the
// holder yields, the kernel hands the port to the first device on that list. Every ppdev device
// of a port has the same name in devices/active, so a ppdev device named there is this one only
// when the first look after the claim found a holder that is not a ppdev device: a ppdev program
// ahead on the list sleeps in its own claim, holding the mutex, so this claim entered only after
// that program was given the port, and the first look names it. Sets `handed` when the port is
// certainly this device's; false (the holder let go, or it cannot be told) means the caller
// leaves the list. Returns an empty text, else why devices/active cannot be read.
std::string await_handover(int number, bool& handed)
{
    char holder[64];
    for (bool first = true;; first = false) {
        if (std::string unreadable = read_holder(number, holder, sizeof holder); !unreadable.empty())
            return unreadable;
        handed = !first && std::strncmp(holder, "ppdev", 5) == 0;
        if (std::strncmp(holder, "ppdev", 5) == 0 || std::strcmp(holder, "none") == 0)
            return "";
        say_waiting(device_path(number), "held by ", holder);
        nanosleep(&tick_pause, nullptr);  // a tick may cut it short
    }
}

// Why the kernel refused the claim of the device at `path`, from errno.
std::string claim_refused(const std::string& path)
{
    const char* const error = std::strerror(errno);
    return text_printf("%s: the port cannot be claimed (%s)", path.c_str(), error);
}

// Waits, under the lock, while a ppdev program holds port N, and about a second at most (counted
// down in `registered_polls`) while one is only registered on it. A run that has just ended gives up
// its lock a moment before the kernel takes its device away, and a second device of the same name is
// best not registered meanwhile; but a program that keeps the device open without holding the port
// must not stop the run for ever (the kernel lets both register, and the claim waits in its turn).
// `holder` gets what devices/active names. Returns an empty text, else why the port cannot be read.
std::string wait_for_ppdev(int number, char* holder, size_t room, int& registered_polls)
{
    char in_the_way[sizeof(dirent::d_name)];
    for (;;) {
        if (std::string unreadable = read_holder(number, holder, room); !unreadable.empty())
            return unreadable;
        const bool ppdev_holder = std::strncmp(holder, "ppdev", 5) == 0;
        if (!ppdev_holder)
            if (std::string unreadable = find_device(number, "ppdev", in_the_way, sizeof in_the_way);
                !unreadable.empty())
                return unreadable;
        if (!ppdev_holder && (!in_the_way[0] || registered_polls-- <= 0))
            return "";
        if (ppdev_holder)
            say_waiting(device_path(number), "held by ", holder);
        nanosleep(&tick_pause, nullptr);  // a tick may cut it short
    }
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
std::string claim_in_turn(int number, int& device, bool (*take_instructions)())
{
    char holder[64];
    const std::string path = device_path(number);
    int registered_polls = 1000 / tick_ms;  // about a second, for the whole run
    for (;;) {
        if (!lock_exclusive(device, path))
            return text_printf("%s: the port cannot be locked (%s)", path.c_str(), std::strerror(errno));
        if (std::string unreadable = wait_for_ppdev(number, holder, sizeof holder, registered_polls);
            !unreadable.empty())
            return unreadable;
        if (std::strcmp(holder, "none") != 0)
            say_waiting(path, "held by ", holder);
        bool handed = false;
        if (ioctl(device, PPCLAIM) == 0)
            return "";
        if (errno != EINTR)
            return claim_refused(path);
        if (std::string unreadable = await_handover(number, handed); !unreadable.empty())
            return unreadable;
        // Root's instructions need no claim of its own: the port is this device's already, and a
        // second PPCLAIM could wait for ppdev's mutex behind another program asleep in its claim
        // for this very port, for ever.
        if (handed && take_instructions && take_instructions())
            return "";
        if (handed)
            return ioctl(device, PPCLAIM) == 0 ? "" : claim_refused(path);
        if (close(device) != 0 && errno != EINTR)
            return text_printf("%s: %s", path.c_str(), std::strerror(errno));
        device = -1;
        if (std::string refused = open_device(number, device); !refused.empty())
            return refused;
    }
}
}  // namespace

std::string device_path(int number)
{
    return text_printf("/dev/parport%d", number);
}

std::string open_device(int number, int& device)
{
    const std::string path = device_path(number);
    const int fd = open_high(path.c_str(), O_RDWR);
    if (fd >= 0) {
        device = fd;
        return "";
    }
    const int error = errno;
    std::string refused;
    if (error == ENOENT)
        refused = path + " is missing (load the ppdev module)";
    else if (error == EACCES || error == EPERM)
        refused = path + ": permission denied (add the user to the group lp, or run as root)";
    else
        refused = path + ": " + std::strerror(error);
    errno = error;
    return refused;
}

std::string lock_and_claim(int number, int& device, bool (*take_instructions)())
{
    if (std::string failed = start_ticks(); !failed.empty())
        return failed;
    const std::string failed = claim_in_turn(number, device, take_instructions);
    const std::string stopped = stop_ticks();
    return failed.empty() ? stopped : failed;
}

// The folder is root's alone (made with mode 0700; used only when it is a real folder owned by root
// that neither group nor others may write), so no other user can hold the lock or swap the file
// under a run; each file is a regular one of mode 0600.
std::string lock_by_file(uint16_t first_port)
{
    char path[48] = "/run/quorva";
    const char* problem = nullptr;
    struct stat info;
    const int folder =
        mkdir(path, 0700) == 0 || errno == EEXIST ? open_high(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW) : -1;
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
    if (problem)
        return text_printf("the lock %s %s cannot be used (%s)", folder_refused ? "folder" : "file", path,
                           problem);
    const std::string port = text_printf("port 0x%X", first_port);
    if (std::string failed = start_ticks(); !failed.empty())
        return failed;
    const bool locked = lock_exclusive(lock_file, port);
    const int error = errno;
    const std::string stopped = stop_ticks();
    return locked ? stopped : text_printf("the lock file %s cannot be used (%s)", path, std::strerror(error));
}
