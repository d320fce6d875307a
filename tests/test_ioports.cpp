// Root's check of /proc/ioports: lists (a PC's list from ioports.txt, and small ones) with a port
// each, and the verdict the check must give: an owner of any of the three ports, or free, or a
// list that cannot tell.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "link/ioports.h"

namespace {
struct Verdict {
    std::string list;
    uint16_t port;
    std::string refusal;  // before "; parallel ports known to the kernel: 0x278"; empty: free
};

TEST(Ioports, OwnersOfAnyOfTheThreePortsAndListsThatCannotTell)
{
    std::stringstream pc;
    pc << std::ifstream(QUORVA_TEST_DATA "/ioports.txt").rdbuf();
    const std::string bus = "d000-dfff : PCI Bus 0000:03\n", card = bus + "  d010-d017 : 0000:03:00.0\n";
    const std::string parport = "0378-037a : parport0\n037b-037f : parport0\n0778-077a : parport0\n";
    const std::string cannot = "/proc/ioports: ", tell = ", so the ports cannot be checked";
    const Verdict verdicts[] = {
        {pc.str(), 0x60, "port 0x0060 belongs to keyboard"},  // the first port, the middle, the last
        {pc.str(), 0x5F, "port 0x0060 belongs to keyboard"},
        {pc.str(), 0x5E, "port 0x0060 belongs to keyboard"},
        {pc.str(), 0x1F5, "ports 0x01F0-0x01F7 belong to ata_piix"},  // inside a card's range
        {pc.str(), 0xCF7, "ports 0x0CF8-0x0CFF belong to PCI conf1"},
        {pc.str(), 0xD010, ""},  // a card's own range, no driver inside it
        {pc.str(), 0x300, ""},   // a bus window only
        {card + "    d010-d017 : 0000:03:00.0\n", 0xD015, "ports 0xD010-0xD017 belong to 0000:03:00.0"},
        {card + "    d014-d014 : snd\n", 0xD012, "port 0xD014 belongs to snd"},
        {card + "  d018-d01f : 0000:03:00.1\n", 0xD016, ""},  // two cards' ranges side by side
        {parport, 0x778, "ports 0x0778-0x077A belong to parport0 (the kernel's parallel port at 0x378)"},
        {parport, 0x37B, "ports 0x037B-0x037F belong to parport0 (the kernel's parallel port at 0x378)"},
        {"", 0x378, cannot + "empty" + tell},
        {"hello\n", 0x378, cannot + "line 1 is not in its format" + tell},
        {bus + "  d010-d000 : 0000:03:00.0\n", 0x378, cannot + "line 2 is not in its format" + tell},
        {"0000-ffff : PCI Bus 0000:00", 0x378, cannot + "line 1 is not in its format" + tell},  // no newline
        {bus + "  d010-d017 : " + std::string(250, 'x') + "\n", 0x378, cannot + "line 2 is too long" + tell},
        {"0000-0000 : PCI Bus 0000:00\n  0000-0000 : dma1\n", 0x378,
         cannot + "all addresses read 0, as in a container without CAP_SYS_ADMIN" + tell},
    };
    for (const Verdict& v : verdicts) {
        const char* got = ioports_refusal(v.list.c_str(), nullptr, v.port, "0x278");
        const std::string want = v.refusal.empty() ? "" : v.refusal + "; parallel ports known to the kernel: 0x278";
        EXPECT_EQ(got ? got : "", want) << "port 0x" << std::hex << v.port << " in\n" << v.list;
    }
    EXPECT_STREQ(ioports_refusal(nullptr, "Permission denied", 0x378, "none"),
                 "/proc/ioports: Permission denied, so the ports cannot be checked; parallel ports known to the kernel: none");
}
}  // namespace
