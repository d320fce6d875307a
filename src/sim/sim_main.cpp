// Entry point of quorva-sim: the download tool over a simulated parallel port and board, for dry
// runs and tests on machines without either.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/command_line.h"
#include "sim/same_file.h"
#include "sim/sim_board.h"

namespace {
const char* const SIM_USAGE =
    "Usage: quorva-sim [SIMULATOR OPTIONS] [--] FILE [-a PORTADRESS [-o OFFSET]]\n"
    "Runs quorva over a simulated parallel port with the emulator board on it.\n"
    "  --board-port=HEX   base address of the simulated port (default 378)\n"
    "  --board=MODE       ok (default), silent (bit 7 stays 0), stuck (bit 7 stays 1)\n"
    "  --delay=N          status reads until the board answers, and until it releases (default 1;\n"
    "                     1 to 1000000, but from 100000 up quorva never sees the answer in time)\n"
    "  --stall-after=N    the board answers N transfers, then stays silent\n"
    "  --trace=FILE       write every port access to FILE\n"
    "  --memory=FILE      write the board's 64 KiB memory to FILE after the run\n"
    "  --help             print this text and exit\n";

struct SimOptions {
    SimBoardConfig board;
    const char* trace_path = nullptr;
    const char* memory_path = nullptr;
};

// Whole-string unsigned number in `base`, at most `max`; returns false for anything else.
bool parse_number(const char* text, int base, uint64_t max, uint64_t& value)
{
    if (base == 16 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    if (*text == '\0' || *text == '-' || *text == '+' || *text == ' ')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text, &end, base);
    if (errno != 0 || *end != '\0' || number > max)
        return false;
    value = number;
    return true;
}

int bad_option(const char* option, const char* why)
{
    std::fprintf(stderr, "quorva-sim: %s: %s\n%s", option, why, SIM_USAGE);
    return 2;
}

// Reads the simulator's own options; `first` receives the index of the tool's first argument.
// Returns -1 to go on, otherwise the exit status to end with.
int parse_options(int argc, char** argv, SimOptions& options, int& first)
{
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) {
            ++i;
            break;
        }
        const char* eq = std::strchr(arg, '=');
        const size_t name_len = eq ? static_cast<size_t>(eq - arg) : std::strlen(arg);
        const char* value = eq ? eq + 1 : nullptr;
        auto is = [&](const char* name) {
            return std::strlen(name) == name_len && std::strncmp(arg, name, name_len) == 0;
        };
        uint64_t number = 0;
        if (is("--help")) {
            std::fputs(SIM_USAGE, stdout);
            return 0;
        } else if (is("--version")) {
            std::printf("quorva-sim %s\n", QUORVA_VERSION);
            return 0;
        } else if (!value) {
            return bad_option(arg, "unknown option or missing value");
        } else if (is("--board-port")) {
            if (!parse_number(value, 16, 0xFFFD, number))
                return bad_option(arg, "expected a hexadecimal port address from 0 to FFFD");
            options.board.base = static_cast<uint16_t>(number);
        } else if (is("--board")) {
            if (std::strcmp(value, "ok") == 0)
                options.board.mode = BoardMode::ok;
            else if (std::strcmp(value, "silent") == 0)
                options.board.mode = BoardMode::silent;
            else if (std::strcmp(value, "stuck") == 0)
                options.board.mode = BoardMode::stuck;
            else
                return bad_option(arg, "expected ok, silent or stuck");
        } else if (is("--delay")) {
            if (!parse_number(value, 10, 1000000, number) || number == 0)
                return bad_option(arg, "expected a number of status reads from 1 to 1000000");
            options.board.delay = static_cast<uint32_t>(number);
        } else if (is("--stall-after")) {
            if (!parse_number(value, 10, UINT32_MAX, number))
                return bad_option(arg, "expected a number of transfers");
            options.board.stall_after = number;
        } else if (is("--trace") && *value) {
            options.trace_path = value;
        } else if (is("--memory") && *value) {
            options.memory_path = value;
        } else {
            return bad_option(arg, "unknown option or missing value");
        }
    }
    first = i;
    return -1;
}

// Closes every output; only a file the run made under a temporary name is removed. Returns 2, the
// status of a refused run.
int refuse(Output* outputs, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (outputs[i].path && !discard_output(outputs[i]))
            std::fprintf(stderr, "quorva-sim: cannot remove %s: %s\n", outputs[i].path, std::strerror(errno));
    return 2;
}

// Says why an output cannot be opened, emptied, made or given its name; a pipe that no program
// reads is not waited for.
int cannot_write(Output* outputs, size_t count, size_t which)
{
    std::fprintf(stderr, "quorva-sim: cannot write %s: %s\n", outputs[which].path,
                 errno == EPIPE ? "no reader" : std::strerror(errno));
    return refuse(outputs, count);
}

// Reports a file whose identity cannot be read for another reason than that it does not exist: it
// could be any file, the image included. True when so.
bool unreadable(const char* name, const FileId& id)
{
    if (identity_read(id))
        return false;
    std::fprintf(stderr, "quorva-sim: %s: cannot tell which file this is: %s\n", name,
                 std::strerror(id.error));
    return true;
}

// Opens the outputs for the run: neither may be the image, by whatever name (writing it would empty
// the image, or create it and the tool would read its own output), nor may the two be one file.
// What each name leads to is judged first, and only once none is one of those is a regular output
// made, without its name, and then given it; so the image is never touched, and a run these checks
// refuse makes, removes and renames nothing.
// Returns -1 to go on, otherwise the exit status to end with.
int open_outputs(Output* outputs, size_t count, const char* image)
{
    for (size_t i = 0; i < count; ++i)
        if (outputs[i].path && !open_output(outputs[i]))
            return cannot_write(outputs, count, i);
    // An identity that cannot be read could be the image's, so it refuses the run; an image that
    // does not exist is where an output would make it, when their names end at one name.
    const FileId image_id = identity_of(image);
    for (size_t i = 0; i < count; ++i) {
        if (!outputs[i].path)
            continue;
        if (unreadable(image, image_id) || unreadable(outputs[i].path, outputs[i].id))
            return refuse(outputs, count);
        if (same_file(outputs[i].id, image_id)) {
            std::fprintf(stderr, "quorva-sim: %s: the trace and memory files must not be the image file\n",
                         outputs[i].path);
            return refuse(outputs, count);
        }
        if (i > 0 && same_file(outputs[i].id, outputs[0].id)) {
            std::fprintf(stderr, "quorva-sim: %s: the trace and memory files must be two files\n",
                         outputs[i].path);
            return refuse(outputs, count);
        }
    }
    for (size_t i = 0; i < count; ++i)
        if (outputs[i].path && !make_output(outputs[i]))
            return cannot_write(outputs, count, i);
    for (size_t i = 0; i < count; ++i)
        if (outputs[i].path && !name_output(outputs[i]))
            return cannot_write(outputs, count, i);
    return -1;
}

void print_board_summary()
{
    const SimReport& r = sim_report();
    std::fprintf(stderr, "quorva-sim: board stored %lu databytes", static_cast<unsigned long>(r.stored));
    if (r.stored > 0)
        std::fprintf(stderr, " at 0x%04X to 0x%04X", static_cast<unsigned>(r.lowest),
                     static_cast<unsigned>(r.highest));
    std::fprintf(stderr, ", %s; %llu port writes, %llu port reads\n",
                 r.end_received ? "end command received" : "no end command",
                 static_cast<unsigned long long>(r.writes), static_cast<unsigned long long>(r.reads));
}
}  // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    int first = 1;
    const int early = parse_options(argc, argv, options, first);
    if (early >= 0)
        return early;

    // The tool sees the arguments after the simulator's own as its arguments 1, 2, ...
    std::vector<char*> tool_argv;
    tool_argv.push_back(argv[0]);
    for (int i = first; i < argc; ++i)
        tool_argv.push_back(argv[i]);
    tool_argv.push_back(nullptr);

    Output outputs[2];
    outputs[0].path = options.trace_path;
    outputs[1].path = options.memory_path;
    const int refused = open_outputs(outputs, 2, first < argc ? argv[first] : "");
    if (refused >= 0)
        return refused;
    FILE* const trace = outputs[0].file;
    FILE* const memory = outputs[1].file;

    sim_reset(options.board);
    sim_trace_to(trace);
    const int status = quorva_main(static_cast<int>(tool_argv.size() - 1), tool_argv.data());
    sim_trace_to(nullptr);

    // The error indicator as well as the close: a write that failed in the middle of the run, its
    // data dropped by the C library, leaves no other trace once later writes succeed.
    bool written = true;
    if (trace) {
        written = !std::ferror(trace);
        written = std::fclose(trace) == 0 && written;
    }
    if (memory)
        written = sim_save_memory(memory) && written;
    print_board_summary();
    if (!written) {
        std::fprintf(stderr, "quorva-sim: writing the trace or memory file failed\n");
        return 2;
    }
    return status;
}
