// Looking a function up in a loaded DLL by its name, into a pointer of the function's own type:
// how the Windows backend calls what older Windows versions or a missing DLL may lack.
#pragma once

#include <windows.h>

// Sets `function` to the function `name` exports from `module`; nullptr when `module` is nullptr or
// exports no such name. Returns whether it was found.
template <typename Function>
bool dll_lookup(HMODULE module, const char* name, Function& function)
{
    const FARPROC found = module ? GetProcAddress(module, name) : nullptr;
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
    return function != nullptr;
}
