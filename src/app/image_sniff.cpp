// The look at the start of a file whose name has no known ending: its first line that is not
// blank makes it Intel HEX, S-records or raw, and every character looked at is kept.
#include "app/image_sniff.h"

#include <cstring>

#include "app/image_records.h"

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
           length > MAX_RECORD_CHARS + 1 || sniff.length == SNIFF_CHARS;
}

ImageFormat image_sniff_finish(const ImageSniff& sniff)
{
    const char* line = sniff.text + sniff.line_start;
    size_t length = sniff.length - sniff.line_start;
    if (length > 0 && line[length - 1] == '\r')
        --length;
    return length > 0 ? format_of_line(line, length) : ImageFormat::raw;
}
