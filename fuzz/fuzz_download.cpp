// Fuzz target: the whole download over the simulated board, with the image, the settings and the
// board's behaviour taken from the fuzzer's bytes, checked against what the protocol allows.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/console.h"
#include "app/download.h"
#include "link/parallel_link.h"
#include "sim/sim_board.h"

namespace {
// The image stream: `size` bytes of `bytes`, then the end of the file or a read error; or, when
// endless, those bytes over and over. Records whether it was closed.
struct Image {
    const uint8_t* bytes;
    size_t size;
    bool fails;
    bool endless;
    size_t delivered = 0;
    bool closed = false;
};

ssize_t image_read(void* cookie, char* buf, size_t want)
{
    Image& im = *static_cast<Image*>(cookie);
    size_t n = 0;
    for (; n < want && (im.endless || im.delivered < im.size); ++n, ++im.delivered)
        buf[n] = static_cast<char>(im.bytes[im.delivered % im.size]);
    if (n == 0 && im.fails)
        return -1;
    return static_cast<ssize_t>(n);
}

int image_close(void* cookie)
{
    static_cast<Image*>(cookie)->closed = true;
    return 0;
}

void require(bool condition)
{
    if (!condition)
        std::abort();
}

uint8_t byte_at(const uint8_t* data, size_t size, size_t i)
{
    return i < size ? data[i] : 0;
}

constexpr size_t HEADER = 11;
}  // namespace

// Input: 11 header bytes (board mode and flags, delay, offset, stall point, port address), then the image.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t flags = byte_at(data, size, 0), tune = byte_at(data, size, 1);
    SimBoardConfig config;
    config.mode = (flags & 7) == 6 ? BoardMode::silent : (flags & 7) == 7 ? BoardMode::stuck : BoardMode::ok;
    const bool board_elsewhere = flags & 0x08;
    config.refusal = (flags & 0x10) ? "refused" : nullptr;
    config.delay = 1 + (tune & 7);
    if (flags & 0x80)
        config.stall_after = byte_at(data, size, 5) | byte_at(data, size, 6) << 8;
    DownloadSettings settings{0x378, static_cast<uint32_t>(byte_at(data, size, 2) | byte_at(data, size, 3) << 8)};
    if (tune & 0x10)
        settings.offset += static_cast<uint32_t>(byte_at(data, size, 4)) << 16;
    if (tune & 0x08) {
        settings.port_address = 0;
        for (size_t i = 7; i < 11; ++i)
            settings.port_address = settings.port_address << 8 | byte_at(data, size, i);
    }
    config.base = static_cast<uint16_t>(settings.port_address + (board_elsewhere ? 0x100 : 0));

    const size_t image_size = size > HEADER ? size - HEADER : 0;
    Image im{data + HEADER, image_size, (flags & 0x20) != 0, (flags & 0x40) != 0 && image_size > 0};
    cookie_io_functions_t io{};
    io.read = image_read;
    io.close = image_close;
    FILE* stream = fopencookie(&im, "rb", io);
    require(stream != nullptr);

    char* out_text = nullptr;
    size_t out_size = 0;
    FILE* out = open_memstream(&out_text, &out_size);
    set_console(out);
    sim_reset(config);
    const int status = run_download(settings, stream);
    set_console(nullptr);
    std::fclose(out);
    const std::string output(out_text, out_size);
    std::free(out_text);
    const SimReport& board = sim_report();

    // What the run must have done, worked out from the protocol alone.
    char expected[160];
    uint64_t writes = 0, reads = 0;
    unsigned long sent = 0;
    bool every_transfer_answered = false, read_error = false;
    if (settings.port_address > 0xFFFD) {
        std::snprintf(expected, sizeof expected, "\nPortadress 0x%X out of range (0x0000 to 0xFFFD) !\n",
                      static_cast<unsigned>(settings.port_address));
    } else if (settings.offset > 0xFFFF) {
        std::snprintf(expected, sizeof expected, "\nOffset 0x%X out of range (0x0000 to 0xFFFF) !\n",
                      static_cast<unsigned>(settings.offset));
    } else if (config.refusal) {
        std::snprintf(expected, sizeof expected, "\nNo access to portadress 0x%X (refused) !\n",
                      static_cast<unsigned>(settings.port_address));
    } else {
        const uint64_t room = 0x10000 - settings.offset;
        const uint64_t to_send = im.endless || im.size > room ? room : im.size;
        const bool longer = im.endless || im.size > room;
        read_error = im.fails && !im.endless && im.size <= room;
        const uint64_t transfers = 2 + 3 * to_send;  // probe, three per byte, end
        // The first transfer the board leaves unanswered (1 is the probe), 0 when it answers all.
        uint64_t unanswered = 0;
        if (config.mode != BoardMode::ok || board_elsewhere)
            unanswered = 1;
        else if (config.stall_after < transfers)
            unanswered = config.stall_after + 1;
        const uint64_t answered = unanswered ? unanswered - 1 : transfers;
        // Answered: data, strobe on, `delay` reads, strobe off, `delay` reads. Unanswered: the
        // budget of one phase, and with bit 7 high from the start also the strobe off and one read.
        writes = 1 + 3 * answered + (answered > 0 ? ZERO_WRITES : 0);
        reads = 2 * config.delay * answered;
        const bool high_from_start = config.mode == BoardMode::stuck || board_elsewhere;
        if (unanswered) {
            writes += high_from_start ? 3 : 2;
            reads += POLL_LIMIT + (high_from_start ? 1 : 0);
        }
        every_transfer_answered = unanswered == 0;
        if (unanswered == 1) {
            std::snprintf(expected, sizeof expected, "\nQuorvaemulator not found at portadress 0x%X !\n",
                          static_cast<unsigned>(settings.port_address));
        } else if (unanswered == transfers) {
            sent = to_send;
            std::snprintf(expected, sizeof expected,
                          "\nQuorvaemulator did not answer the end command after %lu databytes !\n", sent);
        } else if (unanswered) {
            sent = (unanswered - 2) / 3;
            std::snprintf(expected, sizeof expected,
                          "\nQuorvaemulator stopped answering at address 0x%04X after %lu databytes !\n",
                          static_cast<unsigned>(settings.offset + sent), sent);
        } else if (read_error) {
            sent = to_send;
            std::snprintf(expected, sizeof expected, "\nRead error in the image file after %lu databytes !\n", sent);
        } else {
            sent = to_send;
            int n = std::snprintf(expected, sizeof expected, "Send databytes: %lu  0x%04lX\n", sent, sent);
            if (longer)
                std::snprintf(expected + n, sizeof expected - n,
                              "\nFile longer than the room from offset 0x%04X to 0xFFFF: the rest was not sent !\n",
                              static_cast<unsigned>(settings.offset));
        }
        require(board.end_received == every_transfer_answered);
    }

    // Status 0 exactly when every transfer was answered and the file was read without error.
    require((status == 0) == (every_transfer_answered && !read_error));
    require(output == expected);
    require(im.closed);
    require(board.writes == writes && board.reads == reads);
    // The board holds exactly the bytes counted as sent, at their addresses, and nothing else.
    require(board.stored == sent);
    const uint8_t* memory = sim_memory();
    for (uint32_t a = 0; a < BOARD_MEMORY_SIZE; ++a) {
        const uint32_t k = a - settings.offset;
        const bool written = a >= settings.offset && k < sent;
        require(memory[a] == (written ? im.bytes[k % im.size] : 0xFF));
    }
    return 0;
}
