// The download front end: entry sequence, command line, banner and usage, and the download
// sequence that sends an image file to the emulator board.
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

// The whole program: banner, command line, file, settings line, download.
// Returns the exit status: 0 after a download, 1 when none was done or it failed. A lone --help
// or --version, with no file of that name in the folder, prints the usage or the version: 0.
int quorva_main(int argc, char** argv);

// Prints the six banner lines.
void print_banner();

// Prints the usage text.
void print_usage();

// Fills `settings` with the defaults, then with the positional options "-a" (argument 2, value in
// argument 3) and "-o" (argument 4, value in argument 5). Prints nothing.
void parse_command_line(int argc, char** argv, DownloadSettings& settings);

// Reads a hexadecimal number the way the tool's options are read: leading white space, an optional
// sign, an optional 0x or 0X prefix, then digits up to the first non-digit, kept in 32 bits; a minus
// sign negates. Returns true and stores the number in `value` when at least one digit was read;
// returns false and leaves `value` alone otherwise (a bare "0x" included).
bool scan_hex(const char* text, uint32_t& value);

// Checks the settings, gets the port rights, probes the board and sends the image byte by byte.
// The file `name` (used for its ending and in messages) is Intel HEX or S-records by its ending;
// under any other name, by its first line that is not blank, or else raw bytes. Records are read
// and checked whole before any port is touched.
// Owns `image` from the call on and closes it on every way out.
// Returns 0 when every byte that fits was sent and answered, 1 otherwise.
int run_download(const DownloadSettings& settings, FILE* image, const char* name);
