// The look at the start of a file whose name has no known ending, fed one character at a time,
// which tells whether it holds Intel HEX, S-records or raw bytes.
#pragma once

#include <cstddef>

#include "app/image_format.h"

// The look at the start of a file whose name has no known ending. Its first line that is not blank
// decides: a whole record, right in its first character, digits, byte count, checksum and a known
// type, makes the file Intel HEX or S-records (the reader then checks the rest, refusing such a
// record's wrong data length too); anything else, raw. Every character looked at is kept, in
// order, so that a raw file is sent from its first byte. Blank lines before it are kept as long as
// a raw image could use them; past that the file is raw.
constexpr size_t SNIFF_CHARS = IMAGE_SIZE + MAX_RECORD_CHARS + 3;

struct ImageSniff {
    size_t length;      // characters kept
    size_t line_start;  // where the current line starts in `text`
    char text[SNIFF_CHARS];
};

void image_sniff_start(ImageSniff& sniff);

// Keeps the file's next character. Returns true, with `format`, once the characters so far decide.
bool image_sniff_feed(ImageSniff& sniff, char c, ImageFormat& format);

// The format of a file that ended (or could no longer be read) before it was decided.
ImageFormat image_sniff_finish(const ImageSniff& sniff);
