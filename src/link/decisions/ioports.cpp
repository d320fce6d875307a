// Root's check of /proc/ioports: every entry that covers one of the three ports must name no owner.
// Lines look like "  0378-037a : parport0", indented two spaces per level of nesting.
#include "link/decisions/ioports.h"

#include "link/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr size_t LINE_MAX_LENGTH = 255;  // longer lines are not the kernel's

// One entry of the list.
struct Entry {
    unsigned long start, end;
    int depth;  // leading spaces: an entry is inside the nearest less indented one above it
    char name[LINE_MAX_LENGTH + 1];
};

// Copies the line that starts at `text` into `line` and returns where the next one starts; sets
// `too_long` when it does not fit and `ended` when it has its newline.
const char* take_line(const char* text, char* line, bool& too_long, bool& ended)
{
    const char* const newline = std::strchr(text, '\n');
    const size_t length = newline ? static_cast<size_t>(newline - text) : std::strlen(text);
    too_long = length > LINE_MAX_LENGTH;
    ended = newline != nullptr;
    std::snprintf(line, LINE_MAX_LENGTH + 1, "%.*s", static_cast<int>(length), text);
    return newline ? newline + 1 : text + length;
}

// Reads one line into `entry`; false when it is not "START-END : NAME" with START <= END.
bool parse_entry(const char* line, Entry& entry)
{
    int name_at = -1;
    entry.depth = static_cast<int>(std::strspn(line, " "));
    if (std::sscanf(line, " %lx-%lx : %n", &entry.start, &entry.end, &name_at) != 2 || name_at < 0 ||
        !line[name_at] || entry.start > entry.end)
        return false;
    std::snprintf(entry.name, sizeof entry.name, "%s", line + name_at);
    return true;
}

// A PCI device's own range, named by its address ("0000:03:00.0"): the card's, not a driver's.
bool is_pci_address(const char* name)
{
    unsigned domain, bus, slot, function;
    int length = -1;
    const int fields = std::sscanf(name, "%4x:%2x:%2x.%1u%n", &domain, &bus, &slot, &function, &length);
    return fields == 4 && length == 12 && !name[length];
}

// Whether the PCI device at `address` is a parallel controller: its class file reads "0x0701xx"
// (six hexadecimal digits). `what` gets its class and subclass ("class 0x0C05"), or why it has none.
bool is_parallel_controller(const char* address, PciClassLookup pci_class, std::string& what)
{
    const char* why = "no reason given";
    const char* const text = pci_class(address, why);
    const bool valid =
        text && std::strncmp(text, "0x", 2) == 0 && std::strspn(text + 2, "0123456789abcdefABCDEF") == 6;
    const unsigned long base_class = valid ? std::strtoul(text, nullptr, 16) >> 8 : 0;  // class and subclass
    if (!text)
        what = text_printf("its class cannot be read: %s", why);
    else
        what = valid ? text_printf("class 0x%04lX", base_class) : "its class is not in its format";
    return base_class == 0x0701;
}

// The kernel's parallel port "parportN": the start of its lowest range in the list, else 0.
unsigned long parport_base_in(const char* list, const char* name)
{
    unsigned long base = 0;
    char line[LINE_MAX_LENGTH + 1];
    bool too_long, ended;
    Entry entry;
    int number = -1, length = -1;
    if (std::sscanf(name, "parport%d%n", &number, &length) != 1 || name[length])
        return 0;
    while (*list) {
        list = take_line(list, line, too_long, ended);
        if (parse_entry(line, entry) && std::strcmp(entry.name, name) == 0 && (!base || entry.start < base))
            base = entry.start;
    }
    return base;
}
}  // namespace

std::string ioports_refusal(const char* list, const char* read_error, uint16_t first_port, const char* known,
                            PciClassLookup pci_class)
{
    const unsigned long last_port = first_port + 2UL;
    char line[LINE_MAX_LENGTH + 1];
    std::string problem;  // why the list cannot tell; empty while it can
    Entry entry, owner{};
    unsigned long entries = 0, highest = 0;
    int card_depth = -1;  // the depth of a PCI card's range that covers the ports, while inside it
    std::string device;   // the class of a PCI device that covers the ports, or why it has none
    bool owned = false, not_parallel = false, too_long = false, ended = true;
    if (!list)
        problem = read_error;
    for (const char* next = list; next && *next && !owned && problem.empty(); ++entries) {
        next = take_line(next, line, too_long, ended);
        if (too_long || !parse_entry(line, entry) || !ended) {
            problem = text_printf("line %lu is %s", entries + 1, too_long ? "too long" : "not in its format");
            break;
        }
        highest = entry.end > highest ? entry.end : highest;
        if (card_depth >= 0 && entry.depth <= card_depth) {
            card_depth = -1;  // past the card's range: nothing inside it covered the ports
            if ((owned = not_parallel))
                break;
        }
        if (entry.start > last_port || entry.end < first_port || std::strncmp(entry.name, "PCI Bus ", 8) == 0)
            continue;  // not the ports, or a bus window, which no driver owns
        // A card's range is free when the card is a parallel controller, unless something inside
        // it claims the ports (a driver that requests the range under the card's own address as
        // well). Any other device is its ports' owner even without a driver (an IDE or SMBus
        // controller's registers), named unless a driver inside its range is.
        if (card_depth < 0 && is_pci_address(entry.name)) {
            card_depth = entry.depth;
            not_parallel = !is_parallel_controller(entry.name, pci_class, device);
            owner = entry;
        } else {
            owner = entry, owned = true, not_parallel = false;
        }
    }
    owned = owned || not_parallel;  // the list ended inside such a device's range
    if (problem.empty() && !owned && entries == 0)
        problem = "empty";
    else if (problem.empty() && !owned && highest == 0)
        problem = "all addresses read 0, as in a container without CAP_SYS_ADMIN";
    if (!problem.empty())
        return text_printf(
            "/proc/ioports: %s, so the ports cannot be checked; "
            "parallel ports known to the kernel: %s",
            problem.c_str(), known);
    if (!owned)
        return "";

    const unsigned long parport = parport_base_in(list, owner.name);
    std::string whose =
        parport ? text_printf("%s (the kernel's parallel port at 0x%lX)", owner.name, parport) : owner.name;
    if (not_parallel) {  // such a device's range is told as the ports asked for that lie in it
        owner.start = owner.start > first_port ? owner.start : first_port;
        owner.end = owner.end < last_port ? owner.end : last_port;
        whose = text_printf("the PCI device %s (%s), not a parallel port", owner.name, device.c_str());
    }
    if (owner.start == owner.end)
        return text_printf("port 0x%04lX belongs to %s; parallel ports known to the kernel: %s", owner.start,
                           whose.c_str(), known);
    return text_printf("ports 0x%04lX-0x%04lX belong to %s; parallel ports known to the kernel: %s",
                       owner.start, owner.end, whose.c_str(), known);
}
