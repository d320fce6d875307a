// Root's check of /proc/ioports against the table of lists, ports and verdicts in
// ioports-verdicts.txt, and with a list that is empty or could not be read.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link/ioports.h"

namespace {
struct Verdict {
    uint16_t port;
    std::string refusal;  // "free", or the refusal before the ports the kernel knows
    std::string list;
};

std::string verdict(const std::string& list, uint16_t port, const char* known = "0x278")
{
    const char* refusal = ioports_refusal(list.c_str(), nullptr, port, known);
    return refusal ? refusal : "free";
}

TEST(Ioports, OwnersOfAnyOfTheThreePortsAndListsThatCannotTell)
{
    std::stringstream pc;
    pc << std::ifstream(QUORVA_TEST_DATA "/ioports.txt").rdbuf();
    std::ifstream table(QUORVA_TEST_DATA "/ioports-verdicts.txt");
    std::vector<Verdict> verdicts;
    for (std::string line; std::getline(table, line);)
        if (line[0] == '|')
            verdicts.back().list += line.substr(2) + (line[1] == '<' ? "" : "\n");
        else if (line[0] != '#')
            verdicts.push_back({static_cast<uint16_t>(std::stoul(line, nullptr, 16)), line.substr(line.find(": ") + 2), ""});
    ASSERT_EQ(verdicts.size(), 17U);
    for (const Verdict& v : verdicts) {
        const std::string list = v.list.empty() ? pc.str() : v.list;
        const std::string known = v.refusal == "free" ? "" : "; parallel ports known to the kernel: 0x278";
        EXPECT_EQ(verdict(list, v.port), v.refusal + known) << "port 0x" << std::hex << v.port << " in\n" << list;
    }
    EXPECT_EQ(verdict("", 0x378, "none"),
              "/proc/ioports: empty, so the ports cannot be checked; parallel ports known to the kernel: none");
    EXPECT_STREQ(ioports_refusal(nullptr, "Permission denied", 0x378, "none"),
                 "/proc/ioports: Permission denied, so the ports cannot be checked; parallel ports known to the kernel: none");
}
}  // namespace
