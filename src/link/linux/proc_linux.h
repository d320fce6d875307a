// The Linux backend's readers of what the kernel tells about its parallel ports: the small files of
// /proc/sys/dev/parport and sysfs, each opened on a descriptor above the standard three.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

// Moves a descriptor that open() returned above the standard three, so that nothing the tool prints
// to a closed standard output can ever reach a port device or a lock. Passes -1 (errno set) on.
int keep_high(int fd);

// Opens `path` (close-on-exec) on a descriptor above the standard three; -1 with errno set on failure.
int open_high(const char* path, int flags, mode_t mode = 0);

// Reads a small file of /proc or sysfs into `text` (NUL-terminated), up to its end or to room - 1
// characters; its length, or -1 with errno set.
ssize_t read_small(const char* path, char* text, size_t room);

// The number N of the kernel's parportN at first_port, or -1; `known` gets the bases of all
// ("0x278 0x378"), or "none".
int find_parport(uint16_t first_port, std::string& known);

// Reads the holder of port N from /proc/sys/dev/parport/parportN/devices/active into `holder`
// ("lp", "ppdev0", or "none" when the port is free). Returns an empty text, else why it cannot be read.
std::string read_holder(int number, char* holder, size_t room);

// Looks in /proc/sys/dev/parport/parportN/devices/, where each device registered on the port has
// a folder, for one whose name begins with `prefix` ("" for any), and copies its name into `found`
// ("" when there is none). Returns an empty text, else why the folder cannot be read.
std::string find_device(int number, const char* prefix, char* found, size_t room);

// The class of the PCI device at `address` (already checked to be one), from sysfs, for the
// check of /proc/ioports: "0x070100\n" (static storage, valid until the next call), or nullptr
// with `problem` set.
const char* read_pci_class(const char* address, const char*& problem);
