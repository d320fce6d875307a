// The small text helpers the command line and the image reader share: hexadecimal digits and
// white space, read the same way everywhere.
#pragma once

// The value of one hexadecimal digit in either case, or -1 for any other character.
int hex_value(char c);

// True for the white space of the C locale: space, tab, LF, VT, FF and CR.
bool is_blank(char c);
