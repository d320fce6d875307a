// The port's turn on Windows: one named mutex per base address, so that two quorva runs on one
// port never interleave their accesses.
#pragma once

#include <cstdint>
#include <string>

// Waits until no other quorva uses the port at first_port, and keeps it so until this process
// ends. Returns an empty text once the port is this process's, else why not.
std::string take_turn(uint16_t first_port);
