// The Intel HEX and S-record records: the checks every record of a format passes, whatever its
// type, and what each type does to the reader's memory and state. Used by the line reader
// (image_format.cpp) and by the look at a file's start (image_sniff.cpp).
#pragma once

#include <cstdint>

#include "app/image_format.h"

// Record bytes decoded from the current line's hex digits.
struct Record {
    uint8_t bytes[MAX_RECORD_CHARS / 2];
    unsigned count;
};

// Marks the reader failed with the message `format` makes (what is wrong on the current line).
// Returns false, so that a check can end with `return fail(...)`.
bool fail(ImageReader& reader, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The checks of every Intel HEX line, whatever its type, on the reader's current line.
bool intel_structure(ImageReader& reader, Record& record);

// One Intel HEX record, checked and applied.
bool intel_record(ImageReader& reader);

// The checks of every S-record, whatever its type, on the reader's current line.
bool s_structure(ImageReader& reader, Record& record);

// One S-record, checked and applied.
bool s_record(ImageReader& reader);
