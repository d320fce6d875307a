// text_printf: measures the text with vsnprintf, then writes it into a string of that length.
#include "link/text.h"

#include <cstdarg>
#include <cstdio>

std::string text_printf(const char* format, ...)
{
    va_list arguments, again;
    va_start(arguments, format);
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    return text;
}
