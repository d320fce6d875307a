// The command line: the hand-written hexadecimal scan and the positional options.
#include <gtest/gtest.h>

#include <vector>

#include "app/download.h"

namespace {
struct ScanCase {
    const char* text;
    bool assigned;
    uint32_t value;
};

TEST(ScanHex, FollowsTheScanRules)
{
    const ScanCase cases[] = {
        {"378", true, 0x378},          {"0x378", true, 0x378},        {"0X3bc", true, 0x3BC},
        {"3bcg", true, 0x3BC},         {"  \t278", true, 0x278},      {"+10", true, 0x10},
        {"-1", true, 0xFFFFFFFF},      {"-0x10", true, 0xFFFFFFF0},   {"123456789", true, 0x23456789},
        {"FFFFFFFFF", true, 0xFFFFFFFF}, {"0", true, 0},              {"00x5", true, 0},
        {"0x", false, 0},              {"0xg", false, 0},             {"zz", false, 0},
        {"", false, 0},                {"-", false, 0},               {"- 5", false, 0},
        {"x10", false, 0},             {"+-1", false, 0},
    };
    for (const ScanCase& c : cases) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(scan_hex(c.text, value), c.assigned) << '"' << c.text << '"';
        EXPECT_EQ(value, c.assigned ? c.value : 0xDEADBEEF) << '"' << c.text << '"';
    }
}

struct OptionCase {
    std::vector<const char*> args;  // after the command name
    uint32_t port;
    uint32_t offset;
};

TEST(ParseCommandLine, PositionalOptions)
{
    const OptionCase cases[] = {
        {{"hello.bin"}, 0x378, 0},
        {{"hello.bin", "-a"}, 0x378, 0},
        {{"hello.bin", "-o", "100"}, 0x378, 0},
        {{"hello.bin", "-a", "278", "-o", "800"}, 0x278, 0x800},
        {{"hello.bin", "-A", "0x278"}, 0x378, 0},
        {{"hello.bin", "-a", "zz"}, 0x378, 0},
        {{"hello.bin", "-a", "0x"}, 0x378, 0},
        {{"hello.bin", "-a", "3bcg"}, 0x3BC, 0},
        {{"hello.bin", "x", "y", "-o", "100"}, 0x378, 0x100},
        {{"hello.bin", "-a", "378", "-o", "-1"}, 0x378, 0xFFFFFFFF},
        {{"hello.bin", "-a", "378", "-o"}, 0x378, 0},
        {{"hello.bin", "-a", "378", "-O", "5"}, 0x378, 0},
        {{"hello.bin", "-a", "12345678"}, 0x12345678, 0},
        {{"hello.bin", "-a", "278", "-o", "10", "-o", "20"}, 0x278, 0x10},
        {{"hello.bin", "-o", "10", "-a", "278"}, 0x378, 0},
        {{"hello.bin", "-a ", "278"}, 0x378, 0},
    };
    for (const OptionCase& c : cases) {
        std::vector<char*> argv{const_cast<char*>("quorva")};
        for (const char* a : c.args)
            argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        DownloadSettings settings{0xAAAA, 0xBBBB};
        parse_command_line(static_cast<int>(argv.size() - 1), argv.data(), settings);
        EXPECT_EQ(settings.port_address, c.port) << "case " << (&c - cases);
        EXPECT_EQ(settings.offset, c.offset) << "case " << (&c - cases);
    }
}
}  // namespace
