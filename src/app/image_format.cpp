// The chunk-fed reader of Intel HEX and S-record text: splits it into lines, drops the padding DOS
// tools leave, bounds the lines and the text, and hands each record to image_records.cpp; and the
// format a file name asks for.
#include "app/image_format.h"

#include <cstring>
#include <initializer_list>

#include "app/image_records.h"

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
            return fail(reader, "more than %lu MiB of text, more than any 64 KiB image needs",
                        MAX_TEXT_CHARS >> 20);
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
