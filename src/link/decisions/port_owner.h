// Whom the three ports of a base address belong to, from the list of devices the system names
// with their I/O ranges: the decision itself (port_owner.cpp, any platform), the parser of a
// registry resource list (resource_list.cpp); the Windows backend reads both (windows/devices_windows.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One I/O range a device is given, both ends included.
struct IoRange {
    uint16_t first, last;
};

// A device as the system lists it: its class, its names, its hardware IDs followed by its
// compatible IDs, and the I/O ranges assigned to it.
struct DeviceInfo {
    std::string class_name, friendly_name, description;
    std::vector<std::string> ids;
    std::vector<IoRange> ranges;
};

// Decides whether the ports first_port .. first_port + 2 may be used: an empty text when first_port
// is a parallel port's base (the start of its first range, which holds all three), or when no
// device other than a bus or bridge covers them and none of them is one of the PC's fixed system
// ports; otherwise why not, naming the owner and the parallel ports listed. `devices` is nullptr
// where no list could be read; then only the fixed system ports refuse.
std::string port_owner_refusal(uint16_t first_port, const std::vector<DeviceInfo>* devices);

// Appends the I/O port ranges of a REG_RESOURCE_LIST value (a CM_RESOURCE_LIST, packed to 4
// bytes) to `ranges`, in 64-bit Windows' layout when `wide`, else in 32-bit Windows' one. Returns
// false when the bytes are not such a list.
bool parse_resource_list(const unsigned char* bytes, size_t size, bool wide, std::vector<IoRange>& ranges);
