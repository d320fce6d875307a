// The Intel HEX and S-record records: digits decoded, every field checked strictly, and each data
// byte placed at its address plus the offset. No I/O; the caller prints the error.
#include "app/image_records.h"

#include <cstdarg>
#include <cstdio>

#include "app/hex_text.h"

namespace {
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
        return fail(reader, "address 0x%04lX given 0x%02X, already 0x%02X",
                    static_cast<unsigned long>(address), value, memory.data[target]);
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

// The address width of S-record type `type` (0 to 9; S4 has none).
unsigned s_address_bytes(int type)
{
    static const unsigned address_bytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    return address_bytes[type];
}
}  // namespace

bool fail(ImageReader& reader, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(reader.error, sizeof reader.error, format, args);
    va_end(args);
    reader.failed = true;
    return false;
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
    case 1: reader.ended = true; return true;
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
