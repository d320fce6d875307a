// The Intel HEX and S-record reader over texts: which names it reads, every malformed text refused
// on its line with its reason, and well-formed ones placing each byte where the formats put it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

#include "app/image_format.h"
#include "app/image_sniff.h"

namespace {
const ImageFormat H = ImageFormat::intel_hex, S = ImageFormat::srecord, R = ImageFormat::raw;

TEST(ImageFormat, ChosenByTheNameEndingInAnyCase)
{
    const std::pair<const char*, ImageFormat> names[] = {
        {"rom.hex", H}, {"ROM.HEX", H}, {"a.ihx", H}, {"dir.bin/b.IHex", H}, {".hex", H}, {"c.srec", S},
        {"d.S19", S}, {"e.s28", S}, {"f.S37", S}, {"g.Mot", S}, {"h.MCS", H}, {"i.a43", H}, {"j.s1", S},
        {"k.S2", S}, {"l.s3", S}, {"m.Sx", S}, {"n.exo", S}, {"hex", R}, {"a.hex.bin", R}, {"a.hexa", R},
        {"a.s4", R}, {"a.s19 ", R}, {"a_hex", R}, {"a.s1x", R}, {"", R}, {"rom.bin", R}};
    for (const auto& [name, format] : names)
        EXPECT_EQ(image_format_of(name), format) << name;
}

struct Case {
    ImageFormat format;
    uint32_t offset;
    std::string text;
    unsigned long line;  // the line of the error, 0 when the text is read
    const char* error;   // or "ADDR=VV ..." of bytes it defines
    unsigned defined = 0;  // bytes it defines, when not only those listed
};

const Case cases[] = {
    {H, 0, "020000040000FA\n", 1, "expected ':' at the start of the line"},
    {H, 0, ":03000000010G0300F7\n", 1, "character 13 is not a hex digit"},
    {H, 0, "\n:0300000001020300F\n", 2, "odd number of hex digits"},
    {H, 0, ":00000001\n", 1, "record too short"},
    {H, 0, ":04000000010203F6\n", 1, "byte count 0x04, expected 0x03"},
    {H, 0, ":03000000010203F8\n", 1, "checksum 0xF8, expected 0xF7"},
    {H, 0, ":00000006FA\n", 1, "record type 0x06 unknown"},
    {H, 0, ":03000004000000F9\n", 1, "record type 0x04 with 0x03 data bytes, expected 0x02"},
    {H, 0, ":01000001AA54\n", 1, "record type 0x01 with 0x01 data bytes, expected 0x00"},
    {H, 0, ":03000000010203F7\r\n", 2, "the file ends without an end record (type 01)"},
    {H, 0, "", 1, "the file ends without an end record (type 01)"},
    {H, 0, ":00000001FF\n\n:03000000010203F7\n", 3, "data after the end record"},
    {H, 0, ":03000000010203F7\n:0100010009F5\n:00000001FF\n", 2, "address 0x0001 given 0x09, already 0x02"},
    {H, 0, ":02FFFF00AABB9B\n:00000001FF\n", 1, "address 0x10000 plus offset 0x0000 lands outside 0x0000 to 0xFFFF"},
    {H, 0xFFFF8000, ":03000000010203F7\n", 1, "address 0x0000 plus offset 0xFFFF8000 lands outside 0x0000 to 0xFFFF"},
    {H, 0, ":00000001FF\r:00000001FF\n", 1, "character 12 is not a hex digit"},
    {H, 0, ":00000001FF\r\n\x1A:00", 2, "data after the end record"},
    {H, 0, ":01000000\x1A\x1A\r11EE\n", 1, "character 10 is not a hex digit"},
    {H, 0, ":0100000011EE\x1A\r\x1A" "0\n", 1, "character 14 is not a hex digit"},
    {S, 0, "X1030000FC\n", 1, "expected 'S' at the start of the line"},
    {S, 0, "S\n", 1, "no record type after 'S'"},
    {S, 0, "S4030000FC\n", 1, "record type S4 unknown"},
    {S, 0, "S1060000010Z03F3\n", 1, "character 12 is not a hex digit"},
    {S, 0, "S1060000010203F4\n", 1, "checksum 0xF4, expected 0xF3"},
    {S, 0, "S1070000010203F3\n", 1, "byte count 0x07, expected 0x06"},
    {S, 0, "S10200FD\n", 1, "record too short"},
    {S, 0, "S1060000010203F3\nS5030002FA\n", 2, "record count 2, expected 1"},
    {S, 0, "S504000100FA\n", 1, "record type S5 with 0x01 data bytes, expected none"},
    {S, 0, "S9030000FC\nS1060000010203F3\n", 2, "data after the end record"},
    {S, 0, "S30600010000AA4E\n", 1, "address 0x10000 plus offset 0x0000 lands outside 0x0000 to 0xFFFF"},
    // Lower-case digits, CR LF and blank lines, a start address, a byte given twice alike, the
    // extended linear address and a negative offset; an extended segment wraps at 64 KiB.
    {H, 0xFFFF0000, ":020000040001F9\r\n:02fffe00abcd89\r\n\r\n:0400000300001234b3\r\n:02fffe00abcd89\r\n:00000001FF\r\n\n", 0,
     "FFFE=AB FFFF=CD"},
    {H, 0xFFFF0000, ":020000021000EC\n:02FFFF0041427D\n:00000001FF", 0, "0000=42 FFFF=41"},
    {S, 0, "S00600004844521B\nS1050010AA55EB\nS2060000201122A6\nS306000000303396\nS5030003F9\nS9030000FC", 0,
     "0010=AA 0011=55 0020=11 0021=22 0030=33"},
    {S, 0, "", 0, ""},
    {H, 0, ":0100000011EE\r\n:00000001FF\r\n\x1A", 0, "0000=11"},
    // Ctrl-Z padding, however long: after a record, as lines of their own, and at the very end.
    {S, 0, "S1040000AA51\x1A\x1A\nS1040001BB3F\r\n" + std::string(600, '\x1A') + "\r\n\x1A\n" + std::string(600, '\x1A'), 0,
     "0000=AA 0001=BB"},
    // The longest record (255 data bytes of 0) with CR LF, one character more, and endless text.
    {H, 0, ":FF000000" + std::string(510, '0') + "01\r\n:00000001FF\n", 0, "0000=00 00FE=00", 255},
    {H, 0, ":" + std::string(522, '0'), 1, "line longer than 521 characters"},
    {H, 0, "\n:" + std::string(521, '0') + "\n", 2, "line longer than 521 characters"},
    {S, 0, std::string(4 << 20, '\n') + "\n", (4 << 20) + 1, "more than 4 MiB of text, more than any 64 KiB image needs"},
};

// The text fed in pieces of at most `piece` characters, as a file is read in blocks; the reader
// keeps its count of lines and of characters across them.
bool read_in_pieces(ImageReader& reader, const Case& c, ImageMemory& memory, size_t piece)
{
    image_reader_start(reader, c.format, c.offset, memory);
    for (size_t at = 0; at < c.text.size(); at += piece)
        if (!image_reader_feed(reader, c.text.data() + at, std::min(piece, c.text.size() - at)))
            return false;
    return image_reader_finish(reader);
}

TEST(ImageFormat, EachTextRefusedOnItsLineOrPlacedByItsAddressesWholeOrInPieces)
{
    static ImageMemory memory;
    static ImageReader reader;
    for (const Case& c : cases)
        for (size_t piece : {size_t(0), size_t(1), size_t(4096)}) {
            SCOPED_TRACE(c.text.substr(0, 100) + (piece ? " in pieces of " + std::to_string(piece) : " whole"));
            const bool read = piece ? read_in_pieces(reader, c, memory, piece)
                                    : read_image_text(reader, c.format, c.offset, memory, c.text.data(), c.text.size());
            if (c.line != 0) {
                EXPECT_FALSE(read);
                EXPECT_EQ(reader.line_number, c.line);
                EXPECT_STREQ(reader.error, c.error);
                continue;
            }
            ASSERT_TRUE(read) << reader.error;
            unsigned listed = 0, address, value, defined = 0;
            int used = 0;
            for (const char* p = c.error; std::sscanf(p, " %x=%x%n", &address, &value, &used) == 2; p += used) {
                EXPECT_TRUE(is_defined(memory, address)) << std::hex << address;
                EXPECT_EQ(memory.data[address], value) << std::hex << address;
                ++listed;
            }
            for (uint32_t a = 0; a < IMAGE_SIZE; ++a)
                defined += is_defined(memory, a);
            EXPECT_EQ(defined, c.defined ? c.defined : listed);
        }
}

// The start of a file under a name of no known ending: its format, after how many characters it
// is known (0: only at the end of the file), and every character read kept in order.
TEST(ImageFormat, ToldByTheFirstLineThatIsNotBlankWithEveryCharacterKept)
{
    const std::string longest = ":FF000000" + std::string(510, '0') + "01\r\n";
    const std::tuple<std::string, ImageFormat, size_t> starts[] = {
        {"\n\r\n:00000001FF\r\n:0100", H, 16}, {"S00600004844521B\nS1", S, 17}, {longest, H, longest.size()},
        {":01000001AA54\n", H, 14} /* refused by the reader later */, {":00000001FE\n:00000001FF\n", R, 12},
        {":00000006FA\n", R, 12}, {"S4030000FC\n", R, 11}, {"S1 = 3\n", R, 7}, {std::string("\0:00000001FF\n", 13), R, 1},
        {"Hello\n", R, 1}, {"\r:00000001FF\n", R, 2}, {"\x1A\n", R, 1}, {":" + std::string(600, '0'), R, 523},
        {std::string(70000, '\n') + ":00000001FF\n", R, 65537}, {std::string(65534, '\n') + ":00000001FF\n", H, 65546},
        {":00000001FF", H, 0}, {"S9030000FC\r", S, 0}, {":00000001FF\x1A\x1A", H, 0}, {"\r\n\n", R, 0}, {"", R, 0}};
    static ImageSniff sniff;
    for (const auto& [text, expected, decided_after] : starts) {
        SCOPED_TRACE(text.substr(0, 40));
        image_sniff_start(sniff);
        ImageFormat format = R;
        size_t read = 0;
        bool decided = false;
        while (read < text.size() && !decided)
            decided = image_sniff_feed(sniff, text[read++], format);
        EXPECT_EQ(decided ? format : image_sniff_finish(sniff), expected);
        EXPECT_EQ(decided ? read : 0, decided_after);
        EXPECT_EQ(std::string(sniff.text, sniff.length), text.substr(0, read));
    }
}
}  // namespace
