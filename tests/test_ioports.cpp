// Root's check of /proc/ioports against the table of lists, ports and verdicts in
// ioports-verdicts.txt.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "link/ioports.h"

namespace {
TEST(Ioports, OwnersOfAnyOfTheThreePortsAndListsThatCannotTell)
{
    std::stringstream pc;
    pc << std::ifstream(QUORVA_TEST_DATA "/ioports.txt").rdbuf();
    std::ifstream table(QUORVA_TEST_DATA "/ioports-verdicts.txt");
    ASSERT_TRUE(table.is_open() && pc.str().size() > 0);
    for (std::string line; std::getline(table, line);) {
        if (line[0] == '#')
            continue;
        const size_t colon = line.find(": "), bar = line.find(" | ");
        std::string list = bar == std::string::npos ? pc.str() : line.substr(bar + 3);
        std::replace(list.begin(), list.end(), '~', '\n');
        const uint16_t port = static_cast<uint16_t>(std::stoi(line, nullptr, 16));
        const char* refusal = ioports_refusal(list == "-" ? nullptr : list.c_str(), "Permission denied", port, "0x278");
        EXPECT_EQ(refusal ? refusal : "free", line.substr(colon + 2, bar - colon - 2)) << line;
    }
}
}  // namespace
