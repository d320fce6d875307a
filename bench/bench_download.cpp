// quorva-bench: a 64 KiB download through run_download against the bare port accesses it makes,
// both over the simulated board answering at once, so that the difference is the tool's own cost;
// and the reading of a 64 KiB image's Intel HEX text, which must take under 10 ms.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/download.h"
#include "app/image_format.h"
#include "link/parallel_link.h"
#include "link/port_io.h"
#include "sim/sim_board.h"

namespace {
constexpr size_t IMAGE_SIZE = 0x10000;

std::vector<unsigned char> make_image()
{
    std::vector<unsigned char> bytes(IMAGE_SIZE);
    for (size_t i = 0; i < IMAGE_SIZE; ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + (i >> 8));
    return bytes;
}

const std::vector<unsigned char> image = make_image();

void fresh_board(benchmark::State& state)
{
    state.PauseTiming();
    sim_reset(SimBoardConfig{});
    state.ResumeTiming();
}

// Both benchmarks must leave the whole image on the board, or they measured something else.
void check_board(benchmark::State& state)
{
    const SimReport& r = sim_report();
    if (r.stored != IMAGE_SIZE || !r.end_received)
        state.SkipWithError("the board did not receive the whole image");
}

void per_byte_counter(benchmark::State& state)
{
    state.counters["time_per_byte"] =
        benchmark::Counter(IMAGE_SIZE, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Download64K(benchmark::State& state)
{
    FILE* null_stream = std::fopen("/dev/null", "w");
    set_console(null_stream);
    for (auto _ : state) {
        fresh_board(state);
        FILE* stream = fmemopen(const_cast<unsigned char*>(image.data()), image.size(), "rb");
        if (run_download(DownloadSettings{DEFAULT_PORT_ADDRESS, 0}, stream, "image.bin") != 0)
            state.SkipWithError("the download failed");
        check_board(state);
    }
    set_console(nullptr);
    std::fclose(null_stream);
    per_byte_counter(state);
}

// One transfer as the protocol has it: data, strobe on, one status read, strobe off, one status read.
inline void transfer(uint8_t command, uint8_t value)
{
    write_port(0x378, value);
    write_port(0x37A, command);
    benchmark::DoNotOptimize(read_port(0x379));
    write_port(0x37A, static_cast<uint8_t>(command & ~STROBE_BIT));
    benchmark::DoNotOptimize(read_port(0x379));
}

void BM_PortFloor64K(benchmark::State& state)
{
    for (auto _ : state) {
        fresh_board(state);
        write_port(0x37A, CONTROL_IDLE);
        transfer(CMD_ADDR_LOW, 0);
        for (uint32_t i = 0; i < ZERO_WRITES; ++i)
            write_port(0x378, 0);
        for (uint32_t address = 0; address < IMAGE_SIZE; ++address) {
            transfer(CMD_ADDR_LOW, static_cast<uint8_t>(address));
            transfer(CMD_ADDR_HIGH, static_cast<uint8_t>(address >> 8));
            transfer(CMD_DATA, image[address]);
        }
        transfer(CMD_END, 0);
        check_board(state);
    }
    per_byte_counter(state);
}
// The image as objcopy writes it: an 04 record, 16 data bytes a line, the end record, CR LF.
std::string make_hex_text()
{
    std::string text = ":020000040000FA\r\n";
    char line[64];
    for (size_t start = 0; start < IMAGE_SIZE; start += 16) {
        unsigned sum = 16 + (start >> 8) + (start & 0xFF);
        int length = std::snprintf(line, sizeof line, ":10%04X00", static_cast<unsigned>(start));
        for (size_t i = start; i < start + 16; ++i) {
            length += std::snprintf(line + length, sizeof line - length, "%02X", image[i]);
            sum += image[i];
        }
        std::snprintf(line + length, sizeof line - length, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += line;
    }
    return text + ":00000001FF\r\n";
}

void BM_ReadHex64K(benchmark::State& state)
{
    const std::string text = make_hex_text();
    static ImageMemory memory;
    static ImageReader reader;
    for (auto _ : state) {
        if (!read_image_text(reader, ImageFormat::intel_hex, 0, memory, text.data(), text.size()))
            state.SkipWithError(reader.error);
        benchmark::DoNotOptimize(memory.data);
    }
    for (uint32_t address = 0; address < IMAGE_SIZE; ++address)
        if (!is_defined(memory, address) || memory.data[address] != image[address]) {
            state.SkipWithError("the HEX text did not give back the image");
            break;
        }
    state.counters["text_bytes"] = static_cast<double>(text.size());
}
}  // namespace

BENCHMARK(BM_Download64K)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PortFloor64K)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadHex64K)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
