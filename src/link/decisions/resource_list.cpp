// The parser of a registry resource list (REG_RESOURCE_LIST, Windows' CM_RESOURCE_LIST as stored
// under HKLM\HARDWARE\RESOURCEMAP): the I/O port ranges it assigns. A pure function over bytes.
#include "link/decisions/port_owner.h"

namespace {
// Little-endian numbers at `at`, which the caller has checked lie inside the bytes.
uint32_t u32(const unsigned char* at)
{
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
}

constexpr size_t FULL_HEADER = 16;  // interface type, bus number, version, revision, count
constexpr unsigned char TYPE_PORT = 1, TYPE_DEVICE_SPECIFIC = 5;

// A CM_PARTIAL_RESOURCE_DESCRIPTOR (wdm.h, packed to 4): Type at 0, ShareDisposition at 1, Flags
// at 2, then the union at 4. Every member of the union that matters here lies at the same offsets
// in both layouts: a port's PHYSICAL_ADDRESS Start at 4 and ULONG Length at 12, device-specific
// data's DataSize at 4. The union is as large as its largest member, the interrupt's Level, Vector
// and KAFFINITY Affinity (a ULONG_PTR): 12 bytes on 32-bit Windows, 16 on 64-bit Windows, so a
// descriptor there takes 20 bytes, not 16.
constexpr size_t partial_size(bool wide)
{
    return wide ? 20 : 16;
}
}  // namespace

bool parse_resource_list(const unsigned char* bytes, size_t size, bool wide, std::vector<IoRange>& ranges)
{
    if (size < 4)
        return false;
    size_t at = 4;
    for (uint32_t full = u32(bytes); full > 0; --full) {
        if (size - at < FULL_HEADER)
            return false;
        uint32_t partials = u32(bytes + at + 12);
        at += FULL_HEADER;
        for (; partials > 0; --partials) {
            if (size - at < partial_size(wide))
                return false;
            const unsigned char* const partial = bytes + at;
            at += partial_size(wide);
            // A port: a 64-bit start and a 32-bit length; only the 16-bit I/O space matters here.
            const uint32_t start = u32(partial + 4), length = u32(partial + 12);
            if (partial[0] == TYPE_PORT && u32(partial + 8) == 0 && start <= 0xFFFF && length > 0) {
                const uint32_t last = length - 1 > 0xFFFF - start ? 0xFFFF : start + length - 1;
                ranges.push_back(IoRange{static_cast<uint16_t>(start), static_cast<uint16_t>(last)});
            }
            // Device-specific data follows its descriptor, as many bytes as its first field says.
            if (partial[0] == TYPE_DEVICE_SPECIFIC) {
                if (size - at < start)
                    return false;
                at += start;
            }
        }
    }
    return true;
}
