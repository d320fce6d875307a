// The program's entry sequence and its command line: banner, usage, --help and --version, the
// positional options and the hexadecimal numbers they take.
#pragma once

#include <cstdint>

#include "app/download.h"

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
