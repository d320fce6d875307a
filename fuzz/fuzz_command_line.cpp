// Fuzz target: arbitrary argument vectors through parse_command_line and scan_hex, compared with a
// separate model of the option rules written here from the rules, not from the code.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/download.h"

namespace {
// The value rules: blanks, an optional sign, an optional 0x/0X, then hexadecimal digits up to the
// first other character. Only the last eight digits can reach a 32-bit result; minus negates.
bool model_value(const std::string& text, uint32_t& value)
{
    size_t i = text.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos)
        return false;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+')
        ++i;
    if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0)
        i += 2;
    size_t end = text.find_first_not_of("0123456789abcdefABCDEF", i);
    if (end == std::string::npos)
        end = text.size();
    if (end == i)
        return false;
    const size_t first = end - i > 8 ? end - 8 : i;
    const uint32_t number = static_cast<uint32_t>(std::strtoul(text.substr(first, end - first).c_str(), nullptr, 16));
    value = negative ? static_cast<uint32_t>(-static_cast<uint64_t>(number)) : number;
    return true;
}

// The positions: "-a" only as argument 2 with its value in 3, "-o" only as 4 with its value in 5.
DownloadSettings model_settings(const std::vector<std::string>& args)
{
    DownloadSettings s{0x378, 0};
    if (args.size() >= 4 && args[2] == "-a")
        model_value(args[3], s.port_address);
    if (args.size() >= 6 && args[4] == "-o")
        model_value(args[5], s.offset);
    return s;
}
}  // namespace

// The input is the arguments after the command name, separated by NUL bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args{"quorva"};
    const char* text = reinterpret_cast<const char*>(data);
    for (size_t start = 0; start <= size && args.size() < 10;) {
        const void* nul = std::memchr(text + start, '\0', size - start);
        const size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : size;
        args.emplace_back(text + start, end - start);
        start = end + 1;
    }
    // Every argument in its own allocation of its exact size, so that a read past one is caught.
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(strdup(a.c_str()));
    argv.push_back(nullptr);

    for (size_t k = 0; k < args.size(); ++k) {
        uint32_t got = 0xA5A5A5A5, want = 0xA5A5A5A5;
        const bool got_assigned = scan_hex(argv[k], got);
        if (got_assigned != model_value(args[k], want) || got != want)
            std::abort();
    }
    DownloadSettings got{0xDEAD, 0xBEEF};
    parse_command_line(static_cast<int>(args.size()), argv.data(), got);
    const DownloadSettings want = model_settings(args);
    if (got.port_address != want.port_address || got.offset != want.offset)
        std::abort();

    for (char* a : argv)
        std::free(a);
    return 0;
}
