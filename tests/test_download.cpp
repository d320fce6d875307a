// The download sequence over the simulated board: the exact port traffic, the board's memory,
// and every way a download can fail.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/parallel_link.h"
#include "sim/sim_board.h"
#include "test_support.h"

namespace {
std::string summary(unsigned long sent)
{
    char line[64];
    std::snprintf(line, sizeof line, "Send databytes: %lu  0x%04lX\n", sent, sent);
    return line;
}

void reset_board(uint64_t stall_after = NO_STALL)
{
    SimBoardConfig config;
    config.stall_after = stall_after;
    sim_reset(config);
}

// The board's memory holds `image` from `offset` on and 0xFF everywhere else.
void expect_memory(const std::vector<unsigned char>& image, uint32_t offset, size_t stored)
{
    const uint8_t* memory = sim_memory();
    size_t wrong = 0;
    for (uint32_t a = 0; a < BOARD_MEMORY_SIZE; ++a) {
        const bool written = a >= offset && a - offset < stored;
        wrong += memory[a] != (written ? image[a - offset] : 0xFF);
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(sim_report().stored, stored);
}

void add_transfer(std::vector<PortAccess>& log, uint8_t command, uint8_t value)
{
    log.push_back({'W', 0x378, value});
    log.push_back({'W', 0x37A, command});
    log.push_back({'R', 0x379, 0xFF});
    log.push_back({'W', 0x37A, static_cast<uint8_t>(command & ~STROBE_BIT)});
    log.push_back({'R', 0x379, 0x7F});
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
    EXPECT_EQ(run.out, "Send databytes: 3  0x0003\n");
    EXPECT_TRUE(log == expected) << "port traffic differs: " << log.size() << " accesses, expected " << expected.size();
    EXPECT_TRUE(sim_report().end_received);
}

struct MemoryCase {
    uint32_t offset;
    size_t file_size;
    size_t sent;
    bool longer;
};

TEST(Download, BoardMemoryHoldsTheImageAtTheOffset)
{
    const MemoryCase cases[] = {
        {0, 0, 0, false},           {0x100, 1000, 1000, false},     {0xFF00, 256, 256, false},
        {0, 65536, 65536, false},   {0, 65537, 65536, true},        {0xFFF0, 100, 16, true},
        {0xFFFF, 1, 1, false},      {0xFFFF, 2, 1, true},
    };
    for (const MemoryCase& c : cases) {
        const std::vector<unsigned char> image = pattern(c.file_size, c.offset);
        reset_board();
        const Captured run = download(0x378, c.offset, image_of(image));
        std::string expected = summary(c.sent);
        if (c.longer) {
            char note[128];
            std::snprintf(note, sizeof note,
                          "\nFile longer than the room from offset 0x%04X to 0xFFFF: the rest was not sent !\n",
                          static_cast<unsigned>(c.offset));
            expected += note;
        }
        SCOPED_TRACE("offset " + std::to_string(c.offset) + ", size " + std::to_string(c.file_size));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, expected);
        expect_memory(image, c.offset, c.sent);
        EXPECT_TRUE(sim_report().end_received);
        // Probe, three transfers per byte, end command.
        EXPECT_EQ(sim_report().transfers, 2 + 3 * c.sent);
    }
}

TEST(Download, BoardThatStopsAnsweringAtAnyTransfer)
{
    const std::vector<unsigned char> image = {0xA0, 0xA1, 0xA2};
    const uint32_t offset = 0x1234;
    const uint64_t all_transfers = 2 + 3 * image.size();
    for (uint64_t answered = 0; answered < all_transfers; ++answered) {
        SCOPED_TRACE("board answers " + std::to_string(answered) + " transfers");
        reset_board(answered);
        const Captured run = download(0x378, offset, image_of(image));
        char expected[128];
        size_t complete = 0;
        if (answered == 0) {
            std::snprintf(expected, sizeof expected, "\nQuorvaemulator not found at portadress 0x378 !\n");
        } else if (answered == all_transfers - 1) {
            complete = image.size();
            std::snprintf(expected, sizeof expected,
                          "\nQuorvaemulator did not answer the end command after 3 databytes !\n");
        } else {
            complete = (answered - 1) / 3;
            std::snprintf(expected, sizeof expected,
                          "\nQuorvaemulator stopped answering at address 0x%04X after %lu databytes !\n",
                          static_cast<unsigned>(offset + complete), static_cast<unsigned long>(complete));
        }
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, expected);
        // Nothing is sent after the transfer that was not answered.
        EXPECT_EQ(sim_report().transfers, answered + 1);
        EXPECT_FALSE(sim_report().end_received);
        expect_memory(image, offset, complete);
    }
}

struct RefusedCase {
    uint32_t port_address;
    uint32_t offset;
    const char* refusal;
    const char* message;
};

TEST(Download, RefusedBeforeAnyPortIsTouched)
{
    const RefusedCase cases[] = {
        {0xFFFE, 0, nullptr, "\nPortadress 0xFFFE out of range (0x0000 to 0xFFFD) !\n"},
        {0x10000378, 0x20000, nullptr, "\nPortadress 0x10000378 out of range (0x0000 to 0xFFFD) !\n"},
        {0x378, 0x10000, nullptr, "\nOffset 0x10000 out of range (0x0000 to 0xFFFF) !\n"},
        {0x378, 0xFFFFFFFF, nullptr, "\nOffset 0xFFFFFFFF out of range (0x0000 to 0xFFFF) !\n"},
        {0x278, 0, "no rights here", "\nNo access to portadress 0x278 (no rights here) !\n"},
    };
    for (const RefusedCase& c : cases) {
        SimBoardConfig config;
        config.refusal = c.refusal;
        sim_reset(config);
        const Captured run = download(c.port_address, c.offset, image_of({1, 2, 3}));
        EXPECT_EQ(run.status, 1) << c.message;
        EXPECT_EQ(run.out, c.message);
        EXPECT_EQ(sim_report().writes + sim_report().reads, 0u) << c.message;
        EXPECT_EQ(sim_report().access_asked, c.refusal != nullptr) << c.message;
    }
}

TEST(Download, BoardAtAnotherAddressIsNotFound)
{
    reset_board();
    const Captured run = download(0x278, 0, image_of({1}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "\nQuorvaemulator not found at portadress 0x278 !\n");
    EXPECT_EQ(sim_report().transfers, 0u);
    // Nothing on the bus reads 0xFF: bit 7 looks raised, and the release never comes.
    EXPECT_EQ(sim_report().reads, 1 + POLL_LIMIT);
}

// A stream that delivers `good` bytes and then fails, or, with fail_after < 0, never ends;
// it counts what it delivered and whether it was closed.
struct TestStream {
    long good;
    bool fails;
    long delivered = 0;
    bool closed = false;
};

FILE* open_test_stream(TestStream& s)
{
    cookie_io_functions_t io{};
    io.read = [](void* cookie, char* buf, size_t size) -> ssize_t {
        auto* s = static_cast<TestStream*>(cookie);
        if (s->fails && s->delivered >= s->good)
            return -1;
        size_t n = size;
        if (s->fails && static_cast<long>(n) > s->good - s->delivered)
            n = static_cast<size_t>(s->good - s->delivered);
        std::memset(buf, 0x5A, n);
        s->delivered += static_cast<long>(n);
        return static_cast<ssize_t>(n);
    };
    io.close = [](void* cookie) {
        static_cast<TestStream*>(cookie)->closed = true;
        return 0;
    };
    return fopencookie(&s, "rb", io);
}

TEST(Download, ReadErrorIsReportedAfterTheEndCommand)
{
    for (long good : {0L, 5L, 70000L}) {
        reset_board();
        TestStream stream{good, true};
        const Captured run = download(0x378, 0, open_test_stream(stream));
        const long sent = good < 65536 ? good : 65536;
        char expected[96];
        std::snprintf(expected, sizeof expected, "\nRead error in the image file after %ld databytes !\n", sent);
        EXPECT_EQ(run.status, good < 65536 ? 1 : 0) << good;
        EXPECT_EQ(run.out, good < 65536 ? std::string(expected) : summary(65536) +
                  "\nFile longer than the room from offset 0x0000 to 0xFFFF: the rest was not sent !\n");
        EXPECT_TRUE(sim_report().end_received) << good;
        EXPECT_EQ(sim_report().stored, static_cast<uint32_t>(sent));
        EXPECT_TRUE(stream.closed);
    }
}

TEST(Download, EndlessFileIsReadOnlyAsFarAsTheRoom)
{
    reset_board();
    TestStream stream{0, false};
    const Captured run = download(0x378, 0x8000, open_test_stream(stream));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, summary(0x8000) +
              "\nFile longer than the room from offset 0x8000 to 0xFFFF: the rest was not sent !\n");
    EXPECT_LE(stream.delivered, 0x8000 + 1 + BUFSIZ);
    EXPECT_TRUE(stream.closed);
}
}  // namespace
