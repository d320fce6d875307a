// Root's check of /proc/ioports before the port instructions on a port that the kernel does not
// drive as a parallel port: a pure function over the list's text, so that it can be tested alone.
#pragma once

#include <cstdint>
#include <string>

// Looks up the class of the PCI device at `address` ("0000:00:01.1"): the text of its class file
// ("0x070100\n"), or nullptr when it cannot be read, with `why` set to the reason.
using PciClassLookup = const char* (*)(const char* address, const char*& why);

// Decides from `list`, the text of /proc/ioports, whether any driver owns one of the three ports
// first_port .. first_port + 2. A PCI device's own range (named by its address, no driver inside
// it) is free only when `pci_class` gives that device the class of a parallel controller
// (0x0701xx). `known` names the parallel ports the kernel knows ("0x378" or "none"); each refusal
// ends with it. Returns an empty text when the ports are free, else why they must not be touched:
// an owner, or a list that cannot tell (empty, not in its format, a line too long, addresses
// hidden). A nullptr `list` is a list that could not be read, and `read_error` says why.
std::string ioports_refusal(const char* list, const char* read_error, uint16_t first_port, const char* known,
                            PciClassLookup pci_class);
