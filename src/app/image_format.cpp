// The Intel HEX and S-record reader: splits the text into lines, checks every record strictly and
// places each data byte at its address plus the offset. No I/O; the caller prints the error.
#include "app/image_format.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

namespace {

bool ends_with(const char* name, const char* ending)
{
    const size_t name_length = std::strlen(name), ending_length = std::strlen(ending);
    if (name_length < ending_length)
        return false;
    const char* tail = name + name_length - ending_length;
    for (size_t i = 0; i < ending_length; ++i) {
        const char c = tail[i] >= 'A' && tail[i] <= 'Z' ? static_cast<char>(tail[i] - 'A' + 'a') : tail[i];
        if (c != ending[i])
            return false;
    }
    return true;
}

bool fail(ImageReader& reader, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool fail(ImageReader& reader, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(reader.error, sizeof reader.error, format, args);
    va_end(args);
    reader.failed = true;
    return false;
}

// Record bytes decoded from the current line's hex digits.
struct Record {
    uint8_t bytes[MAX_RECORD_CHARS / 2];
    unsigned count;
};

// Decodes the digits of the current line after its first `skip` characters.
bool decode(ImageReader& reader, size_t skip, Record& record)
{
    for (size_t i = skip; i < reader.length; ++i)
        if (hex_value(reader.line[i]) < 0)
            return fail(reader, "character %u is not a hex digit", static_cast<unsigned>(i + 1));
    if ((reader.length - skip) % 2 != 0)
        return fail(reader, "odd number of hex digits");
    record.count = static_cast<unsigned>((reader.length - skip) / 2);
    for (unsigned k = 0; k < record.count; ++k)
        record.bytes[k] = static_cast<uint8_t>(hex_value(reader.line[skip + 2 * k]) * 16 +
                                               hex_value(reader.line[skip + 2 * k + 1]));
    return true;
}

// Gives the byte of file address `address` to the board address it lands on. The same address may
// be given again only with the same value.
bool store(ImageReader& reader, uint32_t address, uint8_t value)
{
    const uint32_t target = address + reader.offset;  // 32 bits: a negative offset moves an image down
    if (target >= IMAGE_SIZE)
        return fail(reader, "address 0x%04lX plus offset 0x%04lX lands outside 0x0000 to 0xFFFF",
                    static_cast<unsigned long>(address), static_cast<unsigned long>(reader.offset));
    ImageMemory& memory = *reader.memory;
    const uint8_t bit = static_cast<uint8_t>(1u << (target & 7));
    if ((memory.defined[target >> 3] & bit) && memory.data[target] != value)
        return fail(reader, "address 0x%04lX given 0x%02X, already 0x%02X", static_cast<unsigned long>(address),
                    value, memory.data[target]);
    memory.defined[target >> 3] |= bit;
    memory.data[target] = value;
    return true;
}

// The sum of a record's bytes before its checksum, the last one.
unsigned sum_before_checksum(const Record& record)
{
    unsigned sum = 0;
    for (unsigned k = 0; k + 1 < record.count; ++k)
        sum += record.bytes[k];
    return sum;
}

uint32_t big_endian(const uint8_t* bytes, unsigned count)
{
    uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

// The checks of every Intel HEX line, whatever its type: ":", byte count, 16-bit address, type,
// data, checksum (the two's complement of the sum of the bytes before it), and a known type.
bool intel_structure(ImageReader& reader, Record& record)
{
    if (reader.line[0] != ':')
        return fail(reader, "expected ':' at the start of the line");
    if (!decode(reader, 1, record))
        return false;
    const uint8_t* b = record.bytes;
    if (record.count < 5)
        return fail(reader, "record too short");
    const unsigned count = record.count - 5;
    if (b[0] != count)
        return fail(reader, "byte count 0x%02X, expected 0x%02X", b[0], count);
    const unsigned sum = sum_before_checksum(record);
    const unsigned checksum = (0x100 - (sum & 0xFF)) & 0xFF;
    if (b[record.count - 1] != checksum)
        return fail(reader, "checksum 0x%02X, expected 0x%02X", b[record.count - 1], checksum);
    if (b[3] > 5)
        return fail(reader, "record type 0x%02X unknown", b[3]);
    return true;
}

// One Intel HEX record, checked and applied.
bool intel_record(ImageReader& reader)
{
    Record record;
    if (!intel_structure(reader, record))
        return false;
    const uint8_t* b = record.bytes;
    const unsigned count = record.count - 5;
    const unsigned type = b[3];
    const uint32_t field = big_endian(b + 1, 2);
    const uint8_t* data = b + 4;
    static const int data_needed[] = {-1, 0, 2, 4, 2, 4};  // by type; -1: any number
    if (data_needed[type] >= 0 && count != static_cast<unsigned>(data_needed[type]))
        return fail(reader, "record type 0x%02X with 0x%02X data bytes, expected 0x%02X", type, count,
                    static_cast<unsigned>(data_needed[type]));
    switch (type) {
    case 0:
        // Under an 02 record the address wraps within its 64 KiB segment; otherwise it runs on.
        for (unsigned i = 0; i < count; ++i) {
            const uint32_t within = reader.segmented ? (field + i) & 0xFFFF : field + i;
            if (!store(reader, reader.base + within, data[i]))
                return false;
        }
        return true;
    case 1:
        reader.ended = true;
        return true;
    case 2:
        reader.base = big_endian(data, 2) << 4;
        reader.segmented = true;
        return true;
    case 4:
        reader.base = big_endian(data, 2) << 16;
        reader.segmented = false;
        return true;
    default:  // 03 and 05, start addresses: nothing to load
        return true;
    }
}

// The address width of S-record type `type` (0 to 9; S4 has none).
unsigned s_address_bytes(int type)
{
    static const unsigned address_bytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    return address_bytes[type];
}

// The checks of every S-record, whatever its type: "S", type digit, byte count (of what follows),
// address of 2, 3 or 4 bytes, data, checksum (the ones' complement of the sum of the bytes before it).
bool s_structure(ImageReader& reader, Record& record)
{
    if (reader.line[0] != 'S')
        return fail(reader, "expected 'S' at the start of the line");
    if (reader.length < 2 || reader.line[1] < '0' || reader.line[1] > '9')
        return fail(reader, "no record type after 'S'");
    if (reader.line[1] == '4')
        return fail(reader, "record type S4 unknown");
    if (!decode(reader, 2, record))
        return false;
    const uint8_t* b = record.bytes;
    if (record.count < 2 + s_address_bytes(reader.line[1] - '0'))
        return fail(reader, "record too short");
    if (b[0] != record.count - 1)
        return fail(reader, "byte count 0x%02X, expected 0x%02X", b[0], record.count - 1);
    const unsigned sum = sum_before_checksum(record);
    const unsigned checksum = ~sum & 0xFF;
    if (b[record.count - 1] != checksum)
        return fail(reader, "checksum 0x%02X, expected 0x%02X", b[record.count - 1], checksum);
    return true;
}

// One S-record, checked and applied.
bool s_record(ImageReader& reader)
{
    Record record;
    if (!s_structure(reader, record))
        return false;
    const int type = reader.line[1] - '0';
    const uint8_t* b = record.bytes;
    const unsigned width = s_address_bytes(type);
    const uint32_t field = big_endian(b + 1, width);
    const uint8_t* data = b + 1 + width;
    const unsigned count = record.count - 2 - width;
    if (type >= 5 && count != 0)
        return fail(reader, "record type S%d with 0x%02X data bytes, expected none", type, count);
    if (type >= 1 && type <= 3) {
        ++reader.data_records;
        for (unsigned i = 0; i < count; ++i)
            if (!store(reader, field + i, data[i]))
                return false;
    } else if (type == 5 || type == 6) {
        const uint32_t records = reader.data_records & (type == 5 ? 0xFFFFu : 0xFFFFFFu);
        if (field != records)
            return fail(reader, "record count %lu, expected %lu", static_cast<unsigned long>(field),
                        static_cast<unsigned long>(records));
    } else if (type >= 7) {
        reader.ended = true;
    }
    return true;  // S0, the header: nothing to load
}

// The current line is complete: a blank line is skipped, any other is one record. Ctrl-Z
// characters at a line's end are dropped, so a line of them counts as blank: CP/M, DOS and Windows
// tools pad the end of a text with them, however many.
bool end_line(ImageReader& reader)
{
    reader.padding = 0;
    reader.padding_cr = false;
    if (reader.length > 0 && reader.line[reader.length - 1] == '\r')
        --reader.length;
    while (reader.length > 0 && reader.line[reader.length - 1] == '\x1A')
        --reader.length;
    if (reader.length > MAX_RECORD_CHARS)  // with LF only: the buffer holds one more for a CR
        return fail(reader, "line longer than %u characters", static_cast<unsigned>(MAX_RECORD_CHARS));
    if (reader.length > 0) {
        if (reader.ended)
            return fail(reader, "data after the end record");
        if (!(reader.format == ImageFormat::intel_hex ? intel_record(reader) : s_record(reader)))
            return false;
    }
    reader.length = 0;
    ++reader.line_number;
    return true;
}

// Adds `c` to the current line, which has room for the longest record and a CR.
bool append(ImageReader& reader, char c)
{
    if (reader.length == sizeof reader.line)
        return fail(reader, "line longer than %u characters", static_cast<unsigned>(MAX_RECORD_CHARS));
    reader.line[reader.length++] = c;
    return true;
}

// A Ctrl-Z, or a character after one: Ctrl-Z characters are held back, and one CR after them
// ("\r\n" may still end a line of padding), until another character makes them part of the line.
bool pad(ImageReader& reader, char c)
{
    if (c == '\x1A' && !reader.padding_cr) {
        ++reader.padding;
        return true;
    }
    if (c == '\r' && !reader.padding_cr) {  // after Ctrl-Z characters: there is one at least
        reader.padding_cr = true;
        return true;
    }
    for (; reader.padding > 0; --reader.padding)
        if (!append(reader, '\x1A'))
            return false;
    if (reader.padding_cr && !append(reader, '\r'))
        return false;
    reader.padding_cr = false;
    return append(reader, c);
}
}  // namespace

ImageFormat image_format_of(const char* name)
{
    for (const char* ending : {".hex", ".ihx", ".ihex", ".mcs", ".a43"})
        if (ends_with(name, ending))
            return ImageFormat::intel_hex;
    for (const char* ending : {".srec", ".s19", ".s28", ".s37", ".mot", ".s1", ".s2", ".s3", ".sx", ".exo"})
        if (ends_with(name, ending))
            return ImageFormat::srecord;
    return ImageFormat::raw;
}

void image_reader_start(ImageReader& reader, ImageFormat format, uint32_t offset, ImageMemory& memory)
{
    reader.format = format;
    reader.offset = offset;
    reader.memory = &memory;
    reader.length = 0;
    reader.padding = 0;
    reader.padding_cr = false;
    reader.line_number = 1;
    reader.chars = 0;
    reader.base = 0;
    reader.segmented = false;
    reader.data_records = 0;
    reader.ended = false;
    reader.failed = false;
    reader.error[0] = '\0';
    std::memset(memory.data, 0xFF, sizeof memory.data);
    std::memset(memory.defined, 0, sizeof memory.defined);
}

bool image_reader_feed(ImageReader& reader, const char* text, size_t length)
{
    if (reader.failed)
        return false;
    for (size_t i = 0; i < length; ++i) {
        // The counts end an endless file (a device, a pipe) at a bounded length.
        if (++reader.chars > MAX_TEXT_CHARS)
            return fail(reader, "more than %lu MiB of text, more than any 64 KiB image needs", MAX_TEXT_CHARS >> 20);
        if (text[i] == '\n') {
            if (!end_line(reader))
                return false;
        } else if (text[i] != '\x1A' && reader.padding == 0) {
            if (!append(reader, text[i]))
                return false;
        } else if (!pad(reader, text[i])) {
            return false;
        }
    }
    return true;
}

bool image_reader_finish(ImageReader& reader)
{
    if (reader.failed || (reader.length > 0 && !end_line(reader)))
        return false;
    if (reader.format == ImageFormat::intel_hex && !reader.ended)
        return fail(reader, "the file ends without an end record (type 01)");
    return true;
}

bool read_image_text(ImageReader& reader, ImageFormat format, uint32_t offset, ImageMemory& memory,
                     const char* text, size_t length)
{
    image_reader_start(reader, format, offset, memory);
    return image_reader_feed(reader, text, length) && image_reader_finish(reader);
}

namespace {
// The format a file's first line that is not blank (without its line end) makes it.
ImageFormat format_of_line(const char* line, size_t length)
{
    while (length > 0 && line[length - 1] == '\x1A')  // padding, as the reader drops it
        --length;
    if (length == 0 || length > MAX_RECORD_CHARS)
        return ImageFormat::raw;
    ImageReader reader;
    std::memcpy(reader.line, line, length);
    reader.length = length;
    Record record;
    if (intel_structure(reader, record))
        return ImageFormat::intel_hex;
    if (s_structure(reader, record))
        return ImageFormat::srecord;
    return ImageFormat::raw;
}
}  // namespace

void image_sniff_start(ImageSniff& sniff)
{
    sniff.length = 0;
    sniff.line_start = 0;
}

bool image_sniff_feed(ImageSniff& sniff, char c, ImageFormat& format)
{
    sniff.text[sniff.length++] = c;
    const char* line = sniff.text + sniff.line_start;
    size_t length = sniff.length - sniff.line_start;  // `c` included
    format = ImageFormat::raw;
    if (c == '\n') {
        length -= length > 1 && line[length - 2] == '\r' ? 2 : 1;
        if (length > 0) {
            format = format_of_line(line, length);
            return true;
        }
        sniff.line_start = sniff.length;
        return sniff.length > IMAGE_SIZE;  // blank lines past what a raw image can use
    }
    // A line that starts otherwise than a record, or runs past the longest record and a CR, is no
    // record: most binaries are told at their first byte.
    return (length == 1 && c != ':' && c != 'S' && c != '\r') || (length == 2 && line[0] == '\r') ||
           length > MAX_RECORD_CHARS + 1 ||
           sniff.length == SNIFF_CHARS;
}

ImageFormat image_sniff_finish(const ImageSniff& sniff)
{
    const char* line = sniff.text + sniff.line_start;
    size_t length = sniff.length - sniff.line_start;
    if (length > 0 && line[length - 1] == '\r')
        --length;
    return length > 0 ? format_of_line(line, length) : ImageFormat::raw;
}
