// The Linux backend's readers of /proc/sys/dev/parport and of the PCI classes in sysfs, and the
// descriptors they and the port's device are opened on.
#include "link/linux/proc_linux.h"

#include "link/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/parport.h>
#include <unistd.h>

namespace {
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
}  // namespace

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

int open_high(const char* path, int flags, mode_t mode)
{
    return keep_high(open(path, flags | O_CLOEXEC, mode));
}

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

int find_parport(uint16_t first_port, std::string& known)
{
    int number = -1;
    known.clear();
    for (int n = 0; n < PARPORT_MAX; ++n) {
        const long port = parport_base(n);
        if (port < 0)
            continue;
        if (port == first_port && number < 0)
            number = n;
        known += text_printf("%s0x%lX", known.empty() ? "" : " ", port);
    }
    if (known.empty())
        known = "none";
    return number;
}

std::string read_holder(int number, char* holder, size_t room)
{
    char path[80];
    std::snprintf(path, sizeof path, "/proc/sys/dev/parport/parport%d/devices/active", number);
    if (read_small(path, holder, room) < 0)
        return text_printf("%s: %s", path, std::strerror(errno));
    holder[std::strcspn(holder, "\n")] = '\0';
    return "";
}

std::string find_device(int number, const char* prefix, char* found, size_t room)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/sys/dev/parport/parport%d/devices", number);
    found[0] = '\0';
    DIR* const folder = opendir(path);
    if (!folder)
        return text_printf("%s: %s", path, std::strerror(errno));
    errno = 0;
    while (const dirent* entry = found[0] ? nullptr : readdir(folder))
        if (entry->d_name[0] != '.' && std::strcmp(entry->d_name, "active") != 0 &&
            std::strncmp(entry->d_name, prefix, std::strlen(prefix)) == 0)
            std::snprintf(found, room, "%s", entry->d_name);
    const int error = found[0] ? 0 : errno;
    closedir(folder);
    return error ? text_printf("%s: %s", path, std::strerror(error)) : "";
}

const char* read_pci_class(const char* address, const char*& problem)
{
    static char text[32];
    char path[64];
    std::snprintf(path, sizeof path, "/sys/bus/pci/devices/%s/class", address);
    problem = read_small(path, text, sizeof text) < 0 ? std::strerror(errno) : nullptr;
    return problem ? nullptr : text;
}
