// Root's check of /proc/ioports: every entry that covers one of the three ports must name no owner.
// Lines look like "  0378-037a : parport0", indented two spaces per level of nesting.
#include "link/ioports.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr size_t LINE_MAX_LENGTH = 255;  // longer lines are not the kernel's
char verdict[640];                       // the refusal handed back

// One entry of the list.
struct Entry {
    unsigned long start, end;
    int depth;        // leading spaces: an entry is inside the nearest less indented one above it
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
    return std::sscanf(name, "%4x:%2x:%2x.%1u%n", &domain, &bus, &slot, &function, &length) == 4 && length == 12 &&
           !name[length];
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

const char* ioports_refusal(const char* list, const char* read_error, uint16_t first_port, const char* known)
{
    const unsigned long last_port = first_port + 2UL;
    char line[LINE_MAX_LENGTH + 1], problem[80] = "";
    Entry entry, owner{};
    unsigned long entries = 0, highest = 0;
    int card_depth = -1;  // the depth of a PCI card's range that covers the ports, while inside it
    bool owned = false, too_long = false, ended = true;
    if (!list)
        std::snprintf(problem, sizeof problem, "%s", read_error);
    for (const char* next = list; next && *next && !owned && !problem[0]; ++entries) {
        next = take_line(next, line, too_long, ended);
        if (too_long || !parse_entry(line, entry) || !ended) {
            std::snprintf(problem, sizeof problem, "line %lu is %s", entries + 1, too_long ? "too long" : "not in its format");
            break;
        }
        highest = entry.end > highest ? entry.end : highest;
        if (card_depth >= 0 && entry.depth <= card_depth)
            card_depth = -1;  // past the card's range: nothing inside it covered the ports
        if (entry.start > last_port || entry.end < first_port || std::strncmp(entry.name, "PCI Bus ", 8) == 0)
            continue;  // not the ports, or a bus window, which no driver owns
        // A card's range is free unless something inside it claims the ports (a driver that
        // requests the range under the card's own address as well).
        if (card_depth < 0 && is_pci_address(entry.name))
            card_depth = entry.depth;
        else
            owner = entry, owned = true;
    }
    if (!problem[0] && !owned && entries == 0)
        std::snprintf(problem, sizeof problem, "empty");
    else if (!problem[0] && !owned && highest == 0)
        std::snprintf(problem, sizeof problem, "all addresses read 0, as in a container without CAP_SYS_ADMIN");

    char whose[LINE_MAX_LENGTH + 64];
    const unsigned long parport = owned ? parport_base_in(list, owner.name) : 0;
    std::snprintf(whose, sizeof whose, parport ? "%s (the kernel's parallel port at 0x%lX)" : "%s", owner.name, parport);
    if (problem[0])
        std::snprintf(verdict, sizeof verdict, "/proc/ioports: %s, so the ports cannot be checked; "
                      "parallel ports known to the kernel: %s", problem, known);
    else if (owned && owner.start == owner.end)
        std::snprintf(verdict, sizeof verdict, "port 0x%04lX belongs to %s; parallel ports known to the kernel: %s",
                      owner.start, whose, known);
    else if (owned)
        std::snprintf(verdict, sizeof verdict, "ports 0x%04lX-0x%04lX belong to %s; parallel ports known to the kernel: %s",
                      owner.start, owner.end, whose, known);
    return problem[0] || owned ? verdict : nullptr;
}
