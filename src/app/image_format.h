// Images as compilers write them: which file names are read as Intel HEX or Motorola S-records,
// and the reader that turns such a file's text into the bytes it defines for the board's 64 KiB.
// The reader does no I/O: it is fed the text in pieces of any size and keeps its state in a record.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ImageFormat {
    raw,        // byte k of the file goes to offset + k
    intel_hex,  // .hex .ihx .ihex .mcs .a43
    srecord,    // .srec .s19 .s28 .s37 .mot .s1 .s2 .s3 .sx .exo
};

// The format a file name asks for, by its ending in any case; every other name is raw, and its
// file is read by its content (image_sniff.h).
ImageFormat image_format_of(const char* name);

constexpr uint32_t IMAGE_SIZE = 0x10000;

// The board's memory as the file defines it: a byte for each address and a bit saying whether the
// file gives that address at all.
struct ImageMemory {
    uint8_t data[IMAGE_SIZE];
    uint8_t defined[IMAGE_SIZE / 8];
};

inline bool is_defined(const ImageMemory& memory, uint32_t address)
{
    return (memory.defined[address >> 3] >> (address & 7)) & 1;
}

// The longest valid record is an Intel HEX line with 255 data bytes; one CR may follow it.
constexpr size_t MAX_RECORD_CHARS = 1 + 2 * (5 + 255);
// Text past this is refused: 64 KiB in one-byte records with CR LF needs about 1.2 MiB.
constexpr unsigned long MAX_TEXT_CHARS = 4ul << 20;

struct ImageReader {
    ImageFormat format;
    uint32_t offset;  // added, in 32 bits, to every address of the file
    ImageMemory* memory;
    size_t length;              // characters of the current line so far
    unsigned long padding;      // Ctrl-Z characters after them, not yet part of the line
    bool padding_cr;            // and a CR after those
    unsigned long line_number;  // of the current line, from 1
    unsigned long chars;        // characters fed so far
    uint32_t base;              // Intel HEX: address from the last 02 or 04 record
    bool segmented;             // Intel HEX: the base came from an 02 record (offsets wrap at 64 KiB)
    uint32_t data_records;      // S-records: S1, S2 and S3 records so far
    bool ended;                 // an end record was read: nothing may follow it
    bool failed;
    char error[96];                   // what is wrong on line `line_number`, once failed
    char line[MAX_RECORD_CHARS + 1];  // last, so that a write past it leaves the record
};

// Starts reading a file of `format` (not raw) into `memory`, which is emptied.
void image_reader_start(ImageReader& reader, ImageFormat format, uint32_t offset, ImageMemory& memory);

// Reads the next `length` characters of the file. Returns false once anything is wrong.
bool image_reader_feed(ImageReader& reader, const char* text, size_t length);

// Ends the file: reads a last line without a line end and checks that nothing is missing.
// Returns false when anything was wrong.
bool image_reader_finish(ImageReader& reader);

// The three calls for a whole text at once.
bool read_image_text(ImageReader& reader, ImageFormat format, uint32_t offset, ImageMemory& memory,
                     const char* text, size_t length);
