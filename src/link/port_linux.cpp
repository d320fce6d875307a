// Port backend for Linux on x86: in/out instructions, rights from ioperm for the three ports only.
#include "link/port_io.h"
#include "link/x86_io.h"

#include <cerrno>
#include <cstring>
#include <sys/io.h>

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
    if (ioperm(first_port, 3, 1) == 0)
        return nullptr;
    switch (errno) {
    case EPERM:
        return "not permitted: run as root, or grant the capability with "
               "setcap cap_sys_rawio=ep on the executable; a kernel in lockdown refuses it to everyone";
    case ENOSYS:
        return "this kernel offers no user-space port access";
    default:
        return std::strerror(errno);
    }
}
