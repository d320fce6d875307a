// The link: the strobe/busy handshake against scripted boards, and the port numbers.
#include <gtest/gtest.h>

#include <vector>

#include "link/parallel_link.h"
#include "sim/sim_board.h"
#include "test_support.h"

namespace {
struct HandshakeCase {
    const char* name;
    BoardMode mode;
    uint32_t delay;
    int result;
    uint64_t status_reads;
    uint8_t control_after;
};

TEST(SendByte, HandshakeAndTimeOuts)
{
    const HandshakeCase cases[] = {
        {"answers at once", BoardMode::ok, 1, 0, 2, 0x06},
        {"bit 7 held at 0", BoardMode::silent, 1, 1, POLL_LIMIT, 0x07},
        {"bit 7 held at 1", BoardMode::stuck, 1, 1, 1 + POLL_LIMIT, 0x06},
        {"raised on read 99999", BoardMode::ok, POLL_LIMIT - 1, 0, 2 * (POLL_LIMIT - 1), 0x06},
        {"raised on read 100000", BoardMode::ok, POLL_LIMIT, 1, POLL_LIMIT, 0x07},
    };
    for (const HandshakeCase& c : cases) {
        SimBoardConfig config;
        config.mode = c.mode;
        config.delay = c.delay;
        sim_reset(config);
        std::vector<PortAccess> log;
        sim_record_to(&log);
        link_init(0x378);
        const int result = send_byte(CMD_DATA, 0x1A5);
        sim_record_to(nullptr);

        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(sim_report().reads, c.status_reads) << c.name;
        ASSERT_GE(log.size(), 3u) << c.name;
        // Data first (low 8 bits only), then the strobe; every read is of the status port.
        EXPECT_EQ(log[0], (PortAccess{'W', 0x378, 0xA5})) << c.name;
        EXPECT_EQ(log[1], (PortAccess{'W', 0x37A, CMD_DATA})) << c.name;
        uint8_t last_control = 0;
        for (const PortAccess& a : log) {
            if (a.kind == 'R')
                EXPECT_EQ(a.port, 0x379) << c.name;
            else if (a.port == 0x37A)
                last_control = a.value;
        }
        EXPECT_EQ(last_control, c.control_after) << c.name;
        EXPECT_EQ(link_ports().control_shadow, c.control_after) << c.name;
    }
}

TEST(LinkInit, PortNumbersWrapAtSixteenBits)
{
    const struct {
        uint32_t base;
        uint16_t data, status, control;
    } cases[] = {{0x378, 0x378, 0x379, 0x37A}, {0xFFFF, 0xFFFF, 0x0000, 0x0001}, {0x10278, 0x278, 0x279, 0x27A}};
    for (const auto& c : cases) {
        link_init(c.base);
        EXPECT_EQ(link_ports().data_port, c.data);
        EXPECT_EQ(link_ports().status_port, c.status);
        EXPECT_EQ(link_ports().control_port, c.control);
    }
}
}  // namespace
