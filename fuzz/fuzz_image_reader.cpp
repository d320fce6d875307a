// libFuzzer target for the HEX and S-record reader: any text, in either format and with two
// offsets, must be read without a fault, and read the same whole as in two pieces cut anywhere.
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "app/image_format.h"

namespace {
ImageMemory whole_memory, pieces_memory;
ImageReader whole, pieces;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    const size_t cut = size ? (data[size - 1] * 131u + size / 3) % (size + 1) : 0;
    for (const ImageFormat format : {ImageFormat::intel_hex, ImageFormat::srecord})
        for (const uint32_t offset : {0u, 0xFFFF8000u}) {
            const bool read = read_image_text(whole, format, offset, whole_memory, text, size);
            image_reader_start(pieces, format, offset, pieces_memory);
            const bool read_in_pieces = image_reader_feed(pieces, text, cut) &&
                                        image_reader_feed(pieces, text + cut, size - cut) && image_reader_finish(pieces);
            if (read != read_in_pieces || whole.line_number != pieces.line_number ||
                std::strcmp(whole.error, pieces.error) != 0 ||
                std::memcmp(&whole_memory, &pieces_memory, sizeof whole_memory) != 0)
                std::abort();
        }
    return 0;
}
