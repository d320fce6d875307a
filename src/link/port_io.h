// The port seam: the only calls that reach the PC's I/O-port space.
// Each backend (Linux, Windows, simulated board) implements them in its own source file.
#pragma once

#include <cstdint>
#include <string>

// What read_port returns for an access that failed.
constexpr int PORT_FAILED = -1;

// One byte-wide write of `value` to I/O port `port`, performed at once. Returns true when it was
// made; false when the operating system's route to the port failed (port_failure() says why).
// The port instructions themselves cannot fail.
bool write_port(uint16_t port, uint8_t value);

// One byte-wide read of I/O port `port`. Returns the value the port delivers right now (0 to 255),
// or PORT_FAILED when the operating system's route to the port failed (port_failure() says why).
int read_port(uint16_t port);

// Why the first failed access failed, naming the device and the error ("/dev/parport0:
// Input/output error"); nullptr while no access has failed. Static storage.
const char* port_failure();

// Asks the platform for the right to use the three ports first_port .. first_port + 2, and takes
// the port for this process alone: while another run (or the printer driver) holds it, it waits,
// sleeping (on Linux and Windows after one second with one line on standard error that says what
// for), and it keeps the port until the process ends.
// Returns an empty text when the ports may be used, otherwise a short one that says why not and
// what the user can do about it.
// Never exits the process. It may read the status register, and claiming the port from the
// kernel's parallel-port driver sets the control register; no other port is touched.
std::string acquire_ports(uint16_t first_port);
