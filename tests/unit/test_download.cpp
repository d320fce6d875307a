// The download's ways out, in one process over the simulated board (their messages go to standard
// output): every one of them closes the image stream, whose descriptor must be gone afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>

#include "app/download.h"
#include "sim/sim_board.h"

namespace {
struct WayOut {
    const char* image;  // /dev/null is empty, /dev/zero endless, and a folder fails on the first read
    uint32_t port_address, offset;
    SimBoardConfig board;  // base, mode, delay, transfers answered, refusal of the port rights
    int status;
};

TEST(Download, EveryWayOutClosesTheImage)
{
    const BoardMode ok = BoardMode::ok;
    const WayOut ways[] = {
        {"/dev/null", 0x378, 0, {0x378, ok, 1, NO_STALL, nullptr}, 0},                  // sent
        {"/dev/zero", 0x378, 0xFF00, {0x378, ok, 1, NO_STALL, nullptr}, 0},             // longer than the room
        {"/", 0x378, 0, {0x378, ok, 1, NO_STALL, nullptr}, 1},                          // read error
        {"/dev/zero", 0x378, 0, {0x378, ok, 1, 4, nullptr}, 1},                         // stops answering
        {"/dev/null", 0x378, 0, {0x378, ok, 1, 1, nullptr}, 1},                         // end command not answered
        {"/dev/null", 0x378, 0, {0x378, BoardMode::silent, 1, NO_STALL, nullptr}, 1},   // not found
        {"/dev/null", 0x378, 0, {0x378, ok, 1, NO_STALL, "no rights"}, 1},              // no port access
        {"/dev/null", 0xFFFE, 0, {0x378, ok, 1, NO_STALL, nullptr}, 1},                 // port out of range
        {"/dev/null", 0x378, 0x10000, {0x378, ok, 1, NO_STALL, nullptr}, 1},            // offset out of range
    };
    for (const WayOut& w : ways) {
        sim_reset(w.board);
        FILE* image = std::fopen(w.image, "rb");
        ASSERT_NE(image, nullptr) << w.image;
        const int descriptor = fileno(image);
        EXPECT_EQ(run_download(DownloadSettings{w.port_address, w.offset}, image, w.image), w.status) << "way out " << &w - ways;
        EXPECT_EQ(fcntl(descriptor, F_GETFD), -1) << "image left open on way out " << &w - ways;
    }
}
}  // namespace
