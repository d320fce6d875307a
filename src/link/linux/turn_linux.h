// The Linux backend's turn: how a run takes its port from the other runs, the printer driver and
// other programs, waiting under a timer that lets it say what it waits for.
#pragma once

#include <cstdint>
#include <string>

// The name of the kernel's device for port N: "/dev/parportN".
std::string device_path(int number);

// Opens /dev/parportN into `device` (a descriptor above the standard three). Returns an empty text,
// else why it cannot be opened (errno kept).
std::string open_device(int number, int& device);

// Locks the open `device` of port N against other runs and claims the port from the kernel, in turn
// with everyone else; the device may be closed and opened afresh on the way. `take_instructions`
// (root's alone, else nullptr) asks for the port instructions, which serve a port the kernel
// has handed over without a claim of this run's own. Returns an empty text, else why not.
std::string lock_and_claim(int number, int& device, bool (*take_instructions)());

// Root's lock for a port without a device, /run/quorva/0xNNNN.lock, taken in turn with other runs
// and kept until the process ends. Returns an empty text, else why not.
std::string lock_by_file(uint16_t first_port);
