// Simulated board behind the port seam: answers the strobe/busy handshake and stores what it gets.
#include "sim/sim_board.h"

#include <cstring>

#include "link/port_io.h"

namespace {
enum class Phase {
    idle,
    wait_raise,  // strobe on, bit 7 not yet raised
    raised,      // bit 7 raised, waiting for the strobe to go off
    wait_drop,   // strobe off, bit 7 not yet dropped
};

SimBoardConfig config;
SimReport report;
uint8_t memory[BOARD_MEMORY_SIZE];
FILE* trace = nullptr;

uint8_t data_latch = 0;
uint8_t control_latch = 0;
Phase phase = Phase::idle;
bool ack = false;
bool answering = false;
uint32_t polls = 0;
uint8_t command = 0;
uint8_t command_data = 0;
uint16_t address = 0;

void note(char kind, uint16_t port, uint8_t value)
{
    if (trace)
        std::fprintf(trace, "%c %04X %02X\n", kind, static_cast<unsigned>(port),
                     static_cast<unsigned>(value));
}

void store(uint8_t value)
{
    memory[address] = value;
    if (report.stored == 0 || address < report.lowest)
        report.lowest = address;
    if (report.stored == 0 || address > report.highest)
        report.highest = address;
    ++report.stored;
}

// The board acts on a transfer once it has answered it.
void act()
{
    switch (command) {
    case 0x01: address = static_cast<uint16_t>((address & 0xFF00) | command_data); break;
    case 0x03: address = static_cast<uint16_t>((address & 0x00FF) | (command_data << 8)); break;
    case 0x07: store(command_data); break;
    case 0x05: report.end_received = true; break;
    default: break;
    }
}

void control_write(uint8_t value)
{
    control_latch = value;
    if (value & 0x01) {
        ++report.transfers;
        command = value;
        command_data = data_latch;
        answering = config.mode == BoardMode::ok && report.transfers <= config.stall_after;
        ack = false;
        phase = Phase::wait_raise;
        polls = 0;
    } else if (phase == Phase::raised) {
        phase = Phase::wait_drop;
        polls = 0;
    } else if (phase == Phase::wait_raise) {
        phase = Phase::idle;  // the host gave up on this transfer
    }
}

uint8_t status_read()
{
    if (config.mode == BoardMode::stuck)
        return 0xFF;
    if (phase == Phase::wait_raise && answering && ++polls >= config.delay) {
        ack = true;
        phase = Phase::raised;
        act();
    } else if (phase == Phase::wait_drop && ++polls >= config.delay) {
        ack = false;
        phase = Phase::idle;
    }
    // Bits 0 to 6 always read 1: only bit 7 carries the answer.
    return ack ? 0xFF : 0x7F;
}
}  // namespace

void sim_reset(const SimBoardConfig& new_config)
{
    config = new_config;
    report = SimReport{};
    std::memset(memory, 0xFF, sizeof memory);
    data_latch = 0;
    control_latch = 0;
    phase = Phase::idle;
    ack = false;
    answering = false;
    polls = 0;
    command = 0;
    command_data = 0;
    address = 0;
}

void sim_trace_to(FILE* new_trace)
{
    trace = new_trace;
}

const SimReport& sim_report()
{
    return report;
}

bool sim_save_memory(FILE* file)
{
    if (!file)
        return false;
    // The stream's error indicator too: a failed write whose data the C library dropped leaves
    // no other trace once a later write succeeds.
    const bool written =
        std::fwrite(memory, 1, BOARD_MEMORY_SIZE, file) == BOARD_MEMORY_SIZE && !std::ferror(file);
    return std::fclose(file) == 0 && written;
}

// The simulated port never fails an access.
bool write_port(uint16_t port, uint8_t value)
{
    ++report.writes;
    note('W', port, value);
    if (port == config.base)
        data_latch = value;
    else if (port == static_cast<uint16_t>(config.base + 2))
        control_write(value);
    return true;
}

int read_port(uint16_t port)
{
    ++report.reads;
    uint8_t value = 0xFF;  // nothing on the bus
    if (port == config.base)
        value = data_latch;
    else if (port == static_cast<uint16_t>(config.base + 1))
        value = status_read();
    else if (port == static_cast<uint16_t>(config.base + 2))
        value = control_latch;
    note('R', port, value);
    return value;
}

const char* port_failure()
{
    return nullptr;
}

std::string acquire_ports(uint16_t)
{
    return config.refusal ? config.refusal : "";
}
