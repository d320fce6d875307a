// Texts built like printf, returned by value: the refusals and reasons the backends hand back.
#pragma once

#include <string>

// The text that std::printf would print for `format` and its arguments.
std::string text_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
