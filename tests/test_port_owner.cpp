// Whom a base address's three ports belong to, decided from a device list like the one Windows
// gives, and the I/O ranges read from a registry resource list.
#include <gtest/gtest.h>

#include <string>

#include "link/port_owner.h"

namespace {
// The PC of the Windows tests (tests/devtree.txt), and a few devices named or identified otherwise.
const std::vector<DeviceInfo> pc = {
    {"System", "", "PCI Express Root Complex", {"ACPI\\PNP0A08", "*PNP0A08", "*PNP0A03"}, {{0, 0xCF7}, {0xD00, 0xFFFF}}},
    {"Ports", "ECP Printer Port (LPT1)", "ECP Printer Port", {"ACPI\\PNP0401", "*PNP0401"}, {{0x378, 0x37F}, {0x778, 0x77F}}},
    {"Ports", "Communications Port (COM1)", "", {"*PNP0501"}, {{0x3F8, 0x3FF}}},
    {"hdc", "", "Primary IDE Channel", {}, {{0x1F0, 0x1F7}}},
    {"System", "", "SMBus Controller", {"PCI\\VEN_8086&DEV_A323&CC_0C0500"}, {{0xF000, 0xF01F}}},
    {"System", "", "PCI Express Root Port", {"PCI\\VEN_8086&DEV_A340&CC_060400", "PCI\\CC_0604"}, {{0xD000, 0xDFFF}}},
    {"Ports", "PCI ECP Parallel Port (LPT3)", "", {"PCI\\VEN_1415&DEV_C118"}, {{0xD010, 0xD017}}},
    {"", "", "", {"PCI\\VEN_1C00&DEV_3050&CC_070100", "PCI\\CC_070100"}, {{0xE000, 0xE007}}},
    {"", "", "", {"PCI\\VEN_1234&DEV_5678&CC_078000"}, {{0xE100, 0xE17F}}},
};
const std::vector<DeviceInfo> others = {
    {"ports", "", "Parallel Port (LPT2)", {}, {{0x278, 0x27F}}},           // the description names it
    {"", "", "", {"ACPI\\PNP0400", "*pnp0400"}, {{0x3BC, 0x3BE}}},          // its ID names it
    {"Printer", "Printer (LPT4)", "", {}, {{0x2A0, 0x2A7}}},               // not of the class Ports
    {"System", "", "", {"pci\\cc_060400"}, {{0x200, 0x2FF}}},              // a bridge
    {"System", "", "", {"*PNP0A03"}, {{0x4000, 0x4FFF}}},                   // the PCI root
    {"", "", "", {}, {{0x4100, 0x4100}}},                                   // nameless, inside the root
};
const std::vector<DeviceInfo> empty;

TEST(PortOwner, UsesParallelPortsAndFreePortsOnly)
{
    const std::string listed = "; parallel ports Windows lists: 0x378 (LPT1), 0xD010 (LPT3), 0xE000";
    struct Case {
        const std::vector<DeviceInfo>* devices;
        uint16_t port;
        std::string refusal;  // empty: used
    } cases[] = {
        {&pc, 0x378, ""}, {&pc, 0x37D, ""}, {&pc, 0x778, ""}, {&pc, 0xD010, ""}, {&pc, 0xE000, ""},
        {&pc, 0xD800, ""}, {&pc, 0x5000, ""}, {&pc, 0x278, ""},
        {&pc, 0x37E, "ports 0x037E-0x037F belong to ECP Printer Port (LPT1)" + listed},
        {&pc, 0x377, "ports 0x0378-0x0379 belong to ECP Printer Port (LPT1)" + listed},
        {&pc, 0x3F6, "port 0x03F8 belongs to Communications Port (COM1)" + listed},
        {&pc, 0x1F0, "ports 0x01F0-0x01F2 belong to Primary IDE Channel" + listed},
        {&pc, 0x1EF, "ports 0x01F0-0x01F1 belong to Primary IDE Channel" + listed},
        {&pc, 0xE0FF, "ports 0xE100-0xE101 belong to PCI\\VEN_1234&DEV_5678&CC_078000" + listed},
        {&pc, 0xF01E, "ports 0xF01E-0xF01F belong to SMBus Controller" + listed},
        {&pc, 0xCF7, "port 0x0CF9 is one of the PC's system ports" + listed},
        {&pc, 0x60, "port 0x0062 is one of the PC's system ports" + listed},
        {&pc, 0x4CF, "port 0x04D1 is one of the PC's system ports" + listed},
        {&pc, 0xFFFE, "port 0x0000 is one of the PC's system ports" + listed},
        {&others, 0x278, ""}, {&others, 0x3BC, ""}, {&others, 0x250, ""},
        {&others, 0x2A0, "ports 0x02A0-0x02A2 belong to Printer (LPT4); parallel ports Windows lists: 0x278 (LPT2), 0x3BC"},
        {&others, 0x40FF, "port 0x4100 belongs to a device Windows lists without a name; parallel ports Windows lists: 0x278 (LPT2), 0x3BC"},
        {&empty, 0x378, ""},
        {&empty, 0x3E6, "port 0x03E8 is one of the PC's system ports; parallel ports Windows lists: none"},
        {nullptr, 0x378, ""}, {nullptr, 0x3BC, ""}, {nullptr, 0xD010, ""}, {nullptr, 0x100, ""}, {nullptr, 0x4D2, ""},
        {nullptr, 0xFD, "port 0x00FF is one of the PC's system ports"},
        {nullptr, 0x16E, "port 0x0170 is one of the PC's system ports"},
        {nullptr, 0x1F0, "port 0x01F2 is one of the PC's system ports"},
        {nullptr, 0x374, "port 0x0376 is one of the PC's system ports"},
        {nullptr, 0x3BA, "port 0x03BA is one of the PC's system ports"},
        {nullptr, 0x3DF, "port 0x03DF is one of the PC's system ports"},
        {nullptr, 0x3F5, "port 0x03F7 is one of the PC's system ports"},
        {nullptr, 0x3EE, "port 0x03F0 is one of the PC's system ports"},
        {nullptr, 0x3F4, "port 0x03F6 is one of the PC's system ports"},
        {nullptr, 0x2F8, "port 0x02FA is one of the PC's system ports"},
        {nullptr, 0x2EE, "port 0x02EE is one of the PC's system ports"},
        {nullptr, 0x3FD, "port 0x03FF is one of the PC's system ports"},
        {nullptr, 0xCF5, ""},
        {nullptr, 0xCF6, "port 0x0CF8 is one of the PC's system ports"},
    };
    for (const Case& c : cases) {
        const char* refusal = port_owner_refusal(c.port, c.devices);
        EXPECT_EQ(refusal ? refusal : "", c.refusal) << std::hex << "port 0x" << c.port << ", case " << &c - cases;
    }
}

// Each list in hexadecimal as the registry holds it; the ranges found, or "bad" when refused.
TEST(PortOwner, ReadsThePortRangesOfAResourceList)
{
    const std::string full = "05000000 00000000 0100 0100 ";  // a list for PCI bus 0, version 1.1
    const std::string header = "01000000 " + full;             // the only one
    const std::string lpt = "01011100 7803000000000000 08000000 ";     // a port of 8 at 0x378
    const std::string irq = "02010100 07000000 07000000 ffffffff ";    // an interrupt
    const struct {
        std::string hex, ranges;
    } cases[] = {
        {header + "02000000 " + lpt + "01011100 7807000000000000 08000000", "378-37F 778-77F"},
        {header + "02000000 " + irq + lpt, "378-37F"},
        {header + "03000000 01011100 0000010000000000 08000000 01011100 0010000001000000 08000000 " + lpt, "378-37F"},
        {header + "02000000 01011100 F8FF000000000000 00010000 01011100 0004000000000000 00000000", "FFF8-FFFF"},
        {header + "02000000 05000000 03000000 00000000 00000000 aabbcc " + lpt, "378-37F"},
        {"02000000 " + full + "01000000 " + lpt + full + "01000000 01011100 D0020000 00000000 04000000",
         "378-37F 2D0-2D3"},
        {"00000000", ""},
        {"010000", "bad"},
        {"01000000 05000000 00000000 0100 0100", "bad"},
        {header + "02000000 " + lpt, "bad"},
        {header + "01000000 01011100 7803000000000000 080000", "bad"},
        {header + "01000000 05000000 04000000 00000000 00000000 aabbcc", "bad"},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> bytes;
        for (size_t at = 0; at < c.hex.size(); ++at)
            if (c.hex[at] != ' ')
                bytes.push_back(static_cast<unsigned char>(std::stoul(c.hex.substr(at++, 2), nullptr, 16)));
        std::vector<IoRange> ranges;
        std::string found;
        char range[16];
        if (!parse_resource_list(bytes.data(), bytes.size(), ranges))
            ranges = {}, found = "bad";
        for (const IoRange& r : ranges)
            found += (found.empty() ? "" : " ") + std::string(range, std::snprintf(range, sizeof range, "%X-%X", r.first, r.last));
        EXPECT_EQ(found, c.ranges) << c.hex;
    }
}
}  // namespace
