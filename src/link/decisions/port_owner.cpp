// The decision whether a base address's three ports may be used, from the devices the system
// lists: a parallel port is used at its base, the start of its first range; any other address in
// its ranges (its ECP and EPP registers), a range of any other device (buses and bridges aside,
// whose ranges are windows) and the PC's fixed system ports are refused.
#include "link/decisions/port_owner.h"

#include "link/text.h"

#include <cctype>
#include <cstring>

namespace {
// The PC's ports that belong to the main board whether or not a device lists them: the chipset's
// timers, keyboard and DMA controllers, the disk controllers, the display, the floppy, the four
// serial ports, the interrupt controller's edge/level registers and PCI's configuration ports.
const IoRange system_ports[] = {
    {0x000, 0x0FF}, {0x170, 0x177}, {0x1F0, 0x1F7}, {0x376, 0x376}, {0x3F6, 0x3F6},
    {0x3B0, 0x3BB}, {0x3C0, 0x3DF}, {0x3F0, 0x3F5}, {0x3F7, 0x3F7}, {0x3F8, 0x3FF},
    {0x2F8, 0x2FF}, {0x3E8, 0x3EF}, {0x2E8, 0x2EF}, {0x4D0, 0x4D1}, {0xCF8, 0xCFF},
};

bool inside(uint16_t port, const IoRange& range)
{
    return port >= range.first && port <= range.last;
}

// True when `text` is `word` (or, with `prefix`, begins with it), capitals or not.
bool caseless(const std::string& text, const char* word, bool prefix)
{
    const size_t length = std::strlen(word);
    if (text.size() < length || (!prefix && text.size() != length))
        return false;
    for (size_t at = 0; at < length; ++at)
        if (std::toupper(static_cast<unsigned char>(text[at])) !=
            std::toupper(static_cast<unsigned char>(word[at])))
            return false;
    return true;
}

bool has_id(const DeviceInfo& device, const char* id, bool prefix)
{
    for (const std::string& own : device.ids)
        if (caseless(own, id, prefix))
            return true;
    return false;
}

// "LPT1" from a name such as "ECP Printer Port (LPT1)", else an empty string.
std::string lpt_name(const DeviceInfo& device)
{
    for (const std::string* name : {&device.friendly_name, &device.description}) {
        const size_t open = name->find("(LPT"), close = name->find(')', open);
        if (open != std::string::npos && close != std::string::npos)
            return name->substr(open + 1, close - open - 1);
    }
    return "";
}

// What Windows' port class installer writes for a parallel port, or a parallel port's own
// Plug and Play IDs (ISA, ACPI, and a PCI or PCI Express card with or without its driver).
bool is_parallel(const DeviceInfo& device)
{
    return (caseless(device.class_name, "Ports", false) && !lpt_name(device).empty()) ||
           has_id(device, "*PNP0400", false) || has_id(device, "*PNP0401", false) ||
           has_id(device, "PCI\\CC_0701", true);
}

// The PCI root (conventional or Express) and every PCI bridge: their ranges are the windows
// through which the devices behind them are reached, not ports of their own.
bool is_bus(const DeviceInfo& device)
{
    return has_id(device, "*PNP0A03", false) || has_id(device, "*PNP0A08", false) ||
           has_id(device, "PCI\\CC_06", true);
}

// "; parallel ports Windows lists: 0x378 (LPT1), 0xE000" (the first range of each), or none.
std::string parallel_list(const std::vector<DeviceInfo>& devices)
{
    std::string list;
    for (const DeviceInfo& device : devices) {
        if (!is_parallel(device) || device.ranges.empty())
            continue;
        const std::string lpt = lpt_name(device);
        const unsigned base = device.ranges[0].first;
        list += text_printf("%s0x%X", list.empty() ? "" : ", ", base);
        list += lpt.empty() ? "" : " (" + lpt + ")";
    }
    return "; parallel ports Windows lists: " + (list.empty() ? "none" : list);
}

// The refusal, naming the parallel ports listed when there is a list.
std::string refuse(const std::vector<DeviceInfo>* devices, const std::string& reason)
{
    return devices ? reason + parallel_list(*devices) : reason;
}
}  // namespace

std::string port_owner_refusal(uint16_t first_port, const std::vector<DeviceInfo>* devices)
{
    // In the order the download first touches them: control, data, status.
    const uint16_t ports[3] = {static_cast<uint16_t>(first_port + 2), first_port,
                               static_cast<uint16_t>(first_port + 1)};
    const std::vector<DeviceInfo> none;
    const std::vector<DeviceInfo>& listed = devices ? *devices : none;
    // A parallel port only at its base, so that the runs on one port share one mutex and none
    // writes its mode or EPP registers. The first range holds the base, and must hold all three.
    for (const DeviceInfo& device : listed)
        if (is_parallel(device) && !device.ranges.empty() && device.ranges[0].first == first_port &&
            inside(ports[0], device.ranges[0]))
            return "";
    for (const DeviceInfo& device : listed) {
        if (is_bus(device))
            continue;
        for (const IoRange& range : device.ranges) {
            int lowest = -1, highest = -1;  // of the three, in port order, those inside the range
            for (int step = 0; step < 3; ++step) {
                const uint16_t port = static_cast<uint16_t>(first_port + step);
                if (inside(port, range))
                    (lowest < 0 ? lowest : highest) = port;
            }
            if (lowest < 0)
                continue;
            const std::string name = !device.friendly_name.empty() ? device.friendly_name
                                     : !device.description.empty() ? device.description
                                     : !device.ids.empty()         ? device.ids[0]
                                                                   : "a device Windows lists without a name";
            if (highest < 0)
                return refuse(devices, text_printf("port 0x%04X belongs to %s", lowest, name.c_str()));
            return refuse(devices,
                          text_printf("ports 0x%04X-0x%04X belong to %s", lowest, highest, name.c_str()));
        }
    }
    for (const uint16_t port : ports)
        for (const IoRange& range : system_ports)
            if (inside(port, range))
                return refuse(devices, text_printf("port 0x%04X is one of the PC's system ports", port));
    return "";
}
