// The download sequence over the simulated board: the exact port traffic, the board's memory and
// the cost in port accesses, and every way a download can fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link/parallel_link.h"
#include "test_support.h"

namespace {
std::string format(const char* text, unsigned long a, unsigned long b = 0)
{
    char line[128];
    std::snprintf(line, sizeof line, text, a, b);
    return line;
}

std::string summary(unsigned long sent)
{
    return format("Send databytes: %lu  0x%04lX\n", sent, sent);
}

std::string longer(unsigned long offset)
{
    return format("\nFile longer than the room from offset 0x%04lX to 0xFFFF: the rest was not sent !\n", offset);
}

void reset_board(uint64_t stall_after = NO_STALL, const char* refusal = nullptr)
{
    SimBoardConfig config;
    config.stall_after = stall_after;
    config.refusal = refusal;
    sim_reset(config);
}

// The board's memory holds the first `stored` bytes of `image` from `offset` on, 0xFF elsewhere.
void expect_memory(const std::vector<unsigned char>& image, uint32_t offset, size_t stored)
{
    size_t wrong = 0;
    for (uint32_t a = 0; a < BOARD_MEMORY_SIZE; ++a)
        wrong += sim_memory()[a] != (a >= offset && a - offset < stored ? image[a - offset] : 0xFF);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(sim_report().stored, stored);
}

void add_transfer(std::vector<PortAccess>& log, uint8_t command, uint8_t value)
{
    const uint8_t strobe_off = static_cast<uint8_t>(command & ~STROBE_BIT);
    log.insert(log.end(), {{'W', 0x378, value}, {'W', 0x37A, command}, {'R', 0x379, 0xFF},
                           {'W', 0x37A, strobe_off}, {'R', 0x379, 0x7F}});
}

TEST(Download, TypicalRunMakesExactlyTheProtocolTraffic)
{
    reset_board();
    std::vector<PortAccess> log;
    sim_record_to(&log);
    const Captured run = download(0x378, 0, image_of({0x11, 0x22, 0x33}));
    sim_record_to(nullptr);

    std::vector<PortAccess> expected{{'W', 0x37A, 0x04}};
    add_transfer(expected, 0x01, 0);
    expected.insert(expected.end(), ZERO_WRITES, PortAccess{'W', 0x378, 0});
    for (uint8_t i = 0; i < 3; ++i) {
        add_transfer(expected, 0x01, i);
        add_transfer(expected, 0x03, 0);
        add_transfer(expected, 0x07, static_cast<uint8_t>(0x11 * (i + 1)));
    }
    add_transfer(expected, 0x05, 0);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, summary(3));
    EXPECT_TRUE(log == expected) << log.size() << " port accesses, expected " << expected.size();
}

TEST(Download, BoardHoldsTheImageAndEachByteCostsFifteenAccesses)
{
    const struct {
        uint32_t offset;
        size_t file_size, sent;
    } cases[] = {
        {0, 0, 0},         {0x100, 1000, 1000}, {0xFF00, 256, 256}, {0, 65536, 65536},
        {0, 65537, 65536}, {0xFFF0, 100, 16},   {0xFFFF, 1, 1},     {0xFFFF, 2, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("offset " + std::to_string(c.offset) + ", size " + std::to_string(c.file_size));
        const std::vector<unsigned char> image = pattern(c.file_size, c.offset);
        reset_board();
        const Captured run = download(0x378, c.offset, image_of(image));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, summary(c.sent) + (c.sent < c.file_size ? longer(c.offset) : ""));
        expect_memory(image, c.offset, c.sent);
        EXPECT_TRUE(sim_report().end_received);
        // Idle value, probe, zero writes and end command, then per byte 3 data writes,
        // 6 control writes and 6 status reads.
        EXPECT_EQ(sim_report().writes, 1 + 3 + ZERO_WRITES + 3 + 9 * c.sent);
        EXPECT_EQ(sim_report().reads, 2 + 2 + 6 * c.sent);
    }
}

TEST(Download, BoardThatStopsAnsweringAtAnyTransfer)
{
    const std::vector<unsigned char> image = {0xA0, 0xA1, 0xA2};
    const uint64_t all_transfers = 2 + 3 * image.size();
    for (uint64_t answered = 0; answered < all_transfers; ++answered) {
        SCOPED_TRACE("board answers " + std::to_string(answered) + " transfers");
        reset_board(answered);
        const Captured run = download(0x378, 0x1234, image_of(image));
        const size_t complete = answered == 0 ? 0 : (answered - 1) / 3;
        std::string expected =
            format("\nQuorvaemulator stopped answering at address 0x%04lX after %lu databytes !\n",
                   0x1234 + complete, complete);
        if (answered == 0)
            expected = "\nQuorvaemulator not found at portadress 0x378 !\n";
        if (answered == all_transfers - 1)
            expected = "\nQuorvaemulator did not answer the end command after 3 databytes !\n";
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, expected);
        EXPECT_EQ(sim_report().transfers, answered + 1);  // nothing after the unanswered one
        EXPECT_FALSE(sim_report().end_received);
        expect_memory(image, 0x1234, complete);
    }
}

TEST(Download, RefusedBeforeAnyPortIsTouched)
{
    const struct {
        uint32_t port_address, offset;
        const char* refusal;
        const char* message;
    } cases[] = {
        {0xFFFE, 0, nullptr, "\nPortadress 0xFFFE out of range (0x0000 to 0xFFFD) !\n"},
        {0x10000378, 0x20000, nullptr, "\nPortadress 0x10000378 out of range (0x0000 to 0xFFFD) !\n"},
        {0x378, 0x10000, nullptr, "\nOffset 0x10000 out of range (0x0000 to 0xFFFF) !\n"},
        {0x378, 0xFFFFFFFF, nullptr, "\nOffset 0xFFFFFFFF out of range (0x0000 to 0xFFFF) !\n"},
        {0x278, 0, "no rights here", "\nNo access to portadress 0x278 (no rights here) !\n"},
    };
    for (const auto& c : cases) {
        reset_board(NO_STALL, c.refusal);
        const Captured run = download(c.port_address, c.offset, image_of({1, 2, 3}));
        EXPECT_EQ(run.status, 1) << c.message;
        EXPECT_EQ(run.out, c.message);
        EXPECT_EQ(sim_report().writes + sim_report().reads, 0u) << c.message;
        EXPECT_EQ(sim_report().access_asked, c.refusal != nullptr) << c.message;
    }
}

// A stream that delivers `good` bytes and then fails; records whether it was closed.
struct FailingStream {
    long good;
    long delivered = 0;
    bool closed = false;
};

FILE* open_failing(FailingStream& s)
{
    cookie_io_functions_t io{};
    io.read = [](void* cookie, char* buf, size_t size) -> ssize_t {
        auto* s = static_cast<FailingStream*>(cookie);
        const long n = std::min(static_cast<long>(size), s->good - s->delivered);
        std::fill(buf, buf + n, 0x5A);
        s->delivered += n;
        return n > 0 ? n : -1;
    };
    io.close = [](void* cookie) { return static_cast<FailingStream*>(cookie)->closed = true, 0; };
    return fopencookie(&s, "rb", io);
}

TEST(Download, ReadErrorIsReportedAfterTheEndCommand)
{
    for (long good : {0L, 5L, 70000L}) {
        reset_board();
        FailingStream stream{good};
        const Captured run = download(0x378, 0, open_failing(stream));
        if (good < 65536) {
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, format("\nRead error in the image file after %lu databytes !\n", good));
        } else {  // the bytes past the room are never read, so their failure never shows
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.out, summary(65536) + longer(0));
            EXPECT_LE(stream.delivered, 65536 + 1 + BUFSIZ);
        }
        EXPECT_TRUE(sim_report().end_received) << good;
        EXPECT_EQ(sim_report().stored, static_cast<uint32_t>(std::min(good, 65536L)));
        EXPECT_TRUE(stream.closed);
    }
}
}  // namespace
