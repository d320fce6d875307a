// The parallel-port link to the emulator board: register map, command codes and the
// strobe/busy handshake that moves one byte to the board.
#pragma once

#include <cstdint>
#include <string>

// The link's state for the whole run.
struct LinkPorts {
    uint16_t data_port;      // base address: the data register
    uint16_t status_port;    // base + 1: the status register (read only)
    uint16_t control_port;   // base + 2: the control register
    uint8_t control_shadow;  // last value written to the control register
};

// Control register bit 0. Set to offer a byte to the board, cleared to complete the transfer.
// It drives the STROBE line, which is inverted at the connector.
constexpr uint8_t STROBE_BIT = 0x01;

// Status register bit 7: the board's answer. It reads the BUSY line, inverted at the connector,
// so the board answers by pulling BUSY low. The other status bits are not looked at.
constexpr uint8_t ACK_BIT = 0x80;

// Command codes: the control value of the first handshake phase. Bits 1 and 2 (AUTOFEED,
// inverted at the connector, and INIT) tell the board what the byte on the data lines is;
// bit 0 is the strobe. The second phase writes the same value with STROBE_BIT cleared.
constexpr uint8_t CMD_ADDR_LOW = 0x01;   // target address bits 0-7 (also the presence probe)
constexpr uint8_t CMD_ADDR_HIGH = 0x03;  // target address bits 8-15
constexpr uint8_t CMD_DATA = 0x07;       // the image byte, stored at the address
constexpr uint8_t CMD_END = 0x05;        // end of the download, with the value 0

// Control value before the probe: CMD_END with the strobe cleared, as a finished end transfer leaves it.
constexpr uint8_t CONTROL_IDLE = 0x04;

// Status reads allowed for each of the two handshake phases.
constexpr uint32_t POLL_LIMIT = 100000;

// Derives the three port numbers from port_address with 16-bit wrap-around. Touches no port.
void link_init(uint32_t port_address);

// Returns the link's current state (port numbers and control shadow).
const LinkPorts& link_ports();

// Asks the platform for the right to use the link's three ports, from data_port on: link_init
// first. Returns an empty text when they may be used, otherwise why not (the seam's acquire_ports).
std::string link_take_ports();

// Writes CONTROL_IDLE to the control register. Returns false when the port access failed.
bool set_control_idle();

// Writes `value` to the data register and nothing else. Returns false when the access failed.
bool write_data(uint8_t value);

// One handshaked transfer of the low 8 bits of `value` under `command`.
// Returns 0 when the board answered and released, 1 when a phase ran out of polls or a port
// access failed (transfer() tells which); after a failed access nothing more is sent.
int send_byte(uint8_t command, uint32_t value);

// The three ways a transfer ends.
enum class Transfer {
    answered,       // the board took the byte and released
    not_answered,   // a phase ran out of polls: the board did not take it
    access_failed,  // the operating system's route to the port failed (link_failure() says why)
};

// send_byte under `command` with `value`, and how it ended.
Transfer transfer(uint8_t command, uint32_t value);

// Why the first failed port access failed ("/dev/parport0: Input/output error"), or "no reason
// given" when the platform told none. Static storage.
const char* link_failure();
