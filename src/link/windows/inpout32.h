// InpOut32, the route to the ports on Windows NT and later without a giveio driver: its DLL, loaded
// from the program's folder or the system folder, and its port functions.
#pragma once

#include <string>
#include <windows.h>

// One port access as InpOut32 makes it (and as the port instructions are wrapped to look).
using PortWrite = void(WINAPI*)(USHORT, UCHAR);
using PortRead = UCHAR(WINAPI*)(USHORT);

// Loads inpout32.dll (from the program's own folder, else the system folder) and checks that its
// driver is open. Returns an empty text with `write` and `read` set to its functions, else why
// not and what the user can do; `giveio_open` says that a giveio driver was there but did not help.
std::string take_inpout(bool giveio_open, PortWrite& write, PortRead& read);
