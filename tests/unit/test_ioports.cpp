// Root's check of /proc/ioports against the table of lists, ports and verdicts in
// ioports-verdicts.txt.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "link/decisions/ioports.h"

namespace {
std::string classes;  // pci-classes.txt

// The class of a PCI device as its sysfs file begins, from pci-classes.txt.
const char* pci_class(const char* address, const char*& why)
{
    const size_t at = classes.find(std::string("\n") + address + " ");
    why = "No such file or directory";
    return at == std::string::npos ? nullptr : classes.c_str() + at + 14;
}

TEST(Ioports, OwnersOfAnyOfTheThreePortsAndListsThatCannotTell)
{
    std::stringstream pc;
    pc << std::ifstream(QUORVA_TEST_DATA "/ioports.txt").rdbuf();
    classes.assign(std::istreambuf_iterator<char>(std::ifstream(QUORVA_TEST_DATA "/pci-classes.txt").rdbuf()), {});
    std::ifstream table(QUORVA_TEST_DATA "/ioports-verdicts.txt");
    ASSERT_TRUE(table.is_open() && pc.str().size() > 0 && classes.size() > 0);
    for (std::string line; std::getline(table, line);) {
        if (line[0] == '#')
            continue;
        const size_t colon = line.find(": "), bar = line.find(" | ");
        std::string list = bar == std::string::npos ? pc.str() : line.substr(bar + 3);
        std::replace(list.begin(), list.end(), '~', '\n');
        const uint16_t port = static_cast<uint16_t>(std::stoi(line, nullptr, 16));
        const std::string refusal = ioports_refusal(list == "-" ? nullptr : list.c_str(), "Permission denied", port, "0x278", pci_class);
        EXPECT_EQ(refusal.empty() ? "free" : refusal, line.substr(colon + 2, bar - colon - 2)) << line;
    }
}
}  // namespace
