// The Windows backend's list of devices and their I/O ranges, as the configuration manager (or the
// registry's resource map) gives it, for the decision of port_owner.h.
#pragma once

#include "link/decisions/port_owner.h"

#include <string>
#include <vector>

// Windows only: fills `devices` from the configuration manager (or, for a 32-bit program on
// 64-bit Windows, from the registry's resource map). Returns an empty text with `listed` true when
// the list was read, an empty text with `listed` false where the system offers no list, and
// otherwise why reading it failed part way.
std::string read_windows_devices(std::vector<DeviceInfo>& devices, bool& listed);
