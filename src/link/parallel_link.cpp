// The strobe/busy handshake over the three registers of a PC parallel port.
#include "link/parallel_link.h"

#include "link/port_io.h"

namespace {
LinkPorts ports{};
}  // namespace

void link_init(uint32_t port_address)
{
    // 16-bit arithmetic on purpose: the port numbers wrap like the x86 I/O address space does.
    ports.data_port = static_cast<uint16_t>(port_address);
    ports.status_port = static_cast<uint16_t>(port_address + 1);
    ports.control_port = static_cast<uint16_t>(port_address + 2);
}

const LinkPorts& link_ports()
{
    return ports;
}

std::string link_take_ports()
{
    return acquire_ports(ports.data_port);
}

bool set_control_idle()
{
    ports.control_shadow = CONTROL_IDLE;
    return write_port(ports.control_port, ports.control_shadow);
}

bool write_data(uint8_t value)
{
    return write_port(ports.data_port, value);
}

namespace {
// Polls the status register until ACK_BIT reads `wanted`. Returns false when the budget ran out
// (the read that exhausts the budget counts as a time-out whatever it shows) or a read failed.
bool wait_for_ack(bool wanted)
{
    for (uint32_t left = POLL_LIMIT;;) {
        const int status = read_port(ports.status_port);
        if (status == PORT_FAILED || --left == 0)
            return false;
        if (((status & ACK_BIT) != 0) == wanted)
            return true;
    }
}

// The handshake itself: 0 when the board answered and released, 1 otherwise.
int handshake(uint8_t command, uint32_t value)
{
    // A failed access ends the transfer at once: the link never sends past it.
    if (!write_port(ports.data_port, static_cast<uint8_t>(value)))
        return 1;
    ports.control_shadow = command;
    if (!write_port(ports.control_port, ports.control_shadow) || !wait_for_ack(true))  // strobe on
        return 1;
    ports.control_shadow = static_cast<uint8_t>(ports.control_shadow & ~STROBE_BIT);
    if (!write_port(ports.control_port, ports.control_shadow) || !wait_for_ack(false))  // strobe off
        return 1;
    return 0;
}
}  // namespace

// The one place a transfer's outcome is told. One that was not answered is told from one whose
// access failed by the seam's record of the first failure: the link sends nothing after one.
Transfer transfer(uint8_t command, uint32_t value)
{
    if (handshake(command, value) == 0)
        return Transfer::answered;
    return port_failure() ? Transfer::access_failed : Transfer::not_answered;
}

int send_byte(uint8_t command, uint32_t value)
{
    return transfer(command, value) == Transfer::answered ? 0 : 1;
}

const char* link_failure()
{
    const char* why = port_failure();
    return why ? why : "no reason given";
}
