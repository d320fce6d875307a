// The download sequence that sends an image file to the emulator board: its settings, its limits
// and run_download.
#pragma once

#include <cstdint>
#include <cstdio>

// The two values taken from the command line.
struct DownloadSettings {
    uint32_t port_address;  // base I/O address of the parallel port
    uint32_t offset;        // target address of the file's first byte
};

constexpr uint32_t DEFAULT_PORT_ADDRESS = 0x378;
constexpr uint32_t DEFAULT_OFFSET = 0;

// Writes of 0 to the data register after a successful probe, giving the board time to settle.
constexpr uint32_t ZERO_WRITES = 200000;

// First target address that is no longer sent.
constexpr uint32_t ADDRESS_LIMIT = 0x10000;

// Highest port address accepted: the link uses base, base + 1 and base + 2.
constexpr uint32_t PORT_ADDRESS_MAX = 0xFFFD;

// Checks the settings, gets the port rights, probes the board and sends the image byte by byte.
// The file `name` (used for its ending and in messages) is Intel HEX or S-records by its ending;
// under any other name, by its first line that is not blank, or else raw bytes. Records are read
// and checked whole before any port is touched.
// Owns `image` from the call on and closes it on every way out.
// Returns 0 when every byte that fits was sent and answered, 1 otherwise.
int run_download(const DownloadSettings& settings, FILE* image, const char* name);
