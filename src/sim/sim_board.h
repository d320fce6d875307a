// The simulated PC port space with one parallel port and the EPROM emulator board on it.
// It is a port backend like the hardware ones, plus calls to set the board up and look at it.
#pragma once

#include <cstdint>
#include <cstdio>

enum class BoardMode {
    ok,      // answers every transfer
    silent,  // status bit 7 stays 0
    stuck,   // status bit 7 stays 1
};

constexpr uint64_t NO_STALL = UINT64_MAX;
constexpr uint32_t BOARD_MEMORY_SIZE = 0x10000;

struct SimBoardConfig {
    uint16_t base = 0x378;  // the board answers only at base, base + 1, base + 2
    BoardMode mode = BoardMode::ok;
    uint32_t delay = 1;               // status reads until bit 7 rises, and again until it drops
    uint64_t stall_after = NO_STALL;  // transfers answered before the board goes silent
    const char* refusal = nullptr;    // when set, acquire_ports refuses with this reason
};

// What the board saw during the run.
struct SimReport {
    uint64_t writes = 0;     // port writes, to any port
    uint64_t reads = 0;      // port reads, from any port
    uint64_t transfers = 0;  // strobe-on writes to the board's control register
    uint32_t stored = 0;     // data bytes stored
    uint16_t lowest = 0;     // lowest address stored (valid when stored > 0)
    uint16_t highest = 0;    // highest address stored (valid when stored > 0)
    bool end_received = false;
};

// Puts a fresh board (memory all 0xFF, counters zero) behind the port backend.
void sim_reset(const SimBoardConfig& config);

// Writes every later port access to `trace` as "W PPPP VV" or "R PPPP VV" lines; nullptr stops it.
void sim_trace_to(FILE* trace);

// Returns what the board has seen since the last sim_reset.
const SimReport& sim_report();

// Writes the board's memory, BOARD_MEMORY_SIZE bytes (a byte never stored reads 0xFF), to `file`
// and closes it. Returns false when `file` is nullptr or any write to it or closing it failed.
bool sim_save_memory(FILE* file);
