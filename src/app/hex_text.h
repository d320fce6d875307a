// The small text helpers the command line and the image reader share: hexadecimal digits and
// white space, read the same way everywhere. Inline: the reader decodes every digit of a file
// with hex_value, and a call per digit doubles its time.
#pragma once

// The value of one hexadecimal digit in either case, or -1 for any other character.
inline int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// True for the white space of the C locale: space, tab, LF, VT, FF and CR.
inline bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
