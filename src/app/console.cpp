// Formatted, flushed printing of the tool's messages.
#include "app/console.h"

#include <cstdarg>

namespace {
FILE* console = nullptr;  // nullptr: standard output
}  // namespace

void set_console(FILE* stream)
{
    console = stream;
}

void say(const char* format, ...)
{
    FILE* out = console ? console : stdout;
    va_list args;
    va_start(args, format);
    std::vfprintf(out, format, args);
    va_end(args);
    std::fflush(out);
}
