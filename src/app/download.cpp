// The download sequence: range checks, reading an Intel HEX or S-record file, port rights, presence
// probe, the byte-by-byte transfer of the image and the closing report.
#include <cstdio>
#include <string>

#include "app/console.h"
#include "app/download.h"
#include "app/image_format.h"
#include "app/image_sniff.h"
#include "link/parallel_link.h"

namespace {
FILE* image = nullptr;   // the open image file, owned from run_download's start to its end
uint32_t address = 0;    // target address of the next byte
unsigned char byte = 0;  // read buffer
unsigned long sent = 0;  // data bytes the board took
ImageMemory records;     // what a HEX or S-record file defines, read whole before the port
ImageReader reader;
ImageSniff sniff;          // the start of a file whose name has no known ending, as it was read
size_t replayed = 0;       // of those characters, those a raw file has sent or a reader was fed
bool sniff_ended = false;  // the file ended, or could not be read, while its start was looked at

int finish(int status)
{
    std::fclose(image);
    image = nullptr;
    return status;
}

// The next byte of a raw file: first those read while its start was looked at.
bool read_byte()
{
    if (replayed < sniff.length) {
        byte = static_cast<unsigned char>(sniff.text[replayed++]);
        return true;
    }
    if (sniff_ended)
        return false;
    const int c = std::getc(image);  // one byte through the stream's buffer; EOF at the end or on an error
    byte = static_cast<unsigned char>(c);
    return c != EOF;
}

// The format of a file whose name has no known ending, by its start, taken one byte at a time
// through the stream's buffer, so that the bytes after the deciding one stay in the stream for the
// raw loop or the reader. A read error is reported where a raw file's would be: ferror stays set.
ImageFormat format_by_content()
{
    image_sniff_start(sniff);
    ImageFormat format;
    for (int c; (c = std::getc(image)) != EOF;)
        if (image_sniff_feed(sniff, static_cast<char>(c), format))
            return format;
    sniff_ended = true;
    return image_sniff_finish(sniff);
}

// A port access that failed ends the run where it happened; the bytes before it were sent.
int access_failed()
{
    say("\nPort access failed after %lu databytes (%s) !\n", sent, link_failure());
    return finish(1);
}

// Sends `byte` to `address`: both address halves before it, since the board is never trusted to
// count. Returns -1 when the board took it; otherwise the exit status, after the message. A
// transfer the board does not answer means it did not get the byte: the run stops there.
int send_current()
{
    Transfer outcome = transfer(CMD_ADDR_LOW, address & 0xFF);
    if (outcome == Transfer::answered)
        outcome = transfer(CMD_ADDR_HIGH, (address >> 8) & 0xFF);
    if (outcome == Transfer::answered)
        outcome = transfer(CMD_DATA, byte);
    if (outcome == Transfer::answered) {
        ++sent;
        return -1;
    }
    if (outcome == Transfer::access_failed)
        return access_failed();
    say("\nQuorvaemulator stopped answering at address 0x%04X after %lu databytes !\n",
        static_cast<unsigned>(address & 0xFFFF), sent);
    return finish(1);
}

// Reads and checks the whole HEX or S-record file into `records`. False after the message.
bool read_records(ImageFormat format, uint32_t offset, const char* name)
{
    image_reader_start(reader, format, offset, records);
    image_reader_feed(reader, sniff.text + replayed, sniff.length - replayed);
    replayed = sniff.length;
    char chunk[4096];
    size_t got;
    while (!reader.failed && !sniff_ended && (got = std::fread(chunk, 1, sizeof chunk, image)) > 0)
        if (!image_reader_feed(reader, chunk, got))
            break;
    if (!reader.failed && std::ferror(image)) {
        say("\nRead error in the image file after 0 databytes !\n");
        return false;
    }
    if (!image_reader_finish(reader)) {
        say("\nFile %s, line %lu: %s !\n", name, reader.line_number, reader.error);
        return false;
    }
    return true;
}
}  // namespace

int run_download(const DownloadSettings& settings, FILE* stream, const char* name)
{
    image = stream;
    sent = 0;  // the probe and the zero writes count 0 databytes
    sniff.length = replayed = 0;
    sniff_ended = false;
    ImageFormat format = image_format_of(name);
    // Addresses the board cannot hold, or ports past 0xFFFF that would wrap onto the DMA
    // controller at port 0, are refused before any port is touched; so is a HEX or S-record file
    // with anything wrong in it (its offset applies to each of its addresses, in 32 bits).
    if (settings.port_address > PORT_ADDRESS_MAX) {
        say("\nPortadress 0x%X out of range (0x0000 to 0xFFFD) !\n",
            static_cast<unsigned>(settings.port_address));
        return finish(1);
    }
    if (format == ImageFormat::raw)
        format = format_by_content();
    if (format == ImageFormat::raw && settings.offset >= ADDRESS_LIMIT) {
        say("\nOffset 0x%X out of range (0x0000 to 0xFFFF) !\n", static_cast<unsigned>(settings.offset));
        return finish(1);
    }
    if (format != ImageFormat::raw && !read_records(format, settings.offset, name))
        return finish(1);

    link_init(settings.port_address);
    if (const std::string refusal = link_take_ports(); !refusal.empty()) {
        say("\nNo access to portadress 0x%X (%s) !\n", static_cast<unsigned>(settings.port_address),
            refusal.c_str());
        return finish(1);
    }
    if (!set_control_idle())
        return access_failed();
    if (const Transfer probe = transfer(CMD_ADDR_LOW, 0); probe != Transfer::answered) {
        if (probe == Transfer::access_failed)
            return access_failed();
        say("\nQuorvaemulator not found at portadress 0x%X !\n",
            static_cast<unsigned>(settings.port_address));
        return finish(1);
    }
    for (uint32_t i = 0; i < ZERO_WRITES; ++i)
        if (!write_data(0))
            return access_failed();

    // A raw file: byte k to offset + k, up to the last address. A HEX or S-record file: each
    // address it defines, once, in ascending order; the others are not sent.
    bool room_left = true;
    if (format == ImageFormat::raw) {
        for (address = settings.offset; room_left && read_byte(); ++address) {
            if (const int status = send_current(); status >= 0)
                return status;
            room_left = address + 1 < ADDRESS_LIMIT;
        }
    } else {
        for (address = 0; address < ADDRESS_LIMIT; ++address) {
            if (!is_defined(records, address))
                continue;
            byte = records.data[address];
            if (const int status = send_current(); status >= 0)
                return status;
        }
    }
    // One read past the room tells whether the file had more; the rest is never read.
    const bool longer = !room_left && read_byte();
    const bool read_failed = std::ferror(image) != 0;

    // The end command goes out after a read error too. Only the first failure is reported, and a
    // read error comes before the end transfer.
    const Transfer end = transfer(CMD_END, 0);
    if (read_failed) {
        say("\nRead error in the image file after %lu databytes !\n", sent);
        return finish(1);
    }
    if (end == Transfer::access_failed)
        return access_failed();
    if (end == Transfer::not_answered) {
        say("\nQuorvaemulator did not answer the end command after %lu databytes !\n", sent);
        return finish(1);
    }
    say("Send databytes: %lu  0x%04lX\n", sent, sent);
    if (longer)
        say("\nFile longer than the room from offset 0x%04X to 0xFFFF: the rest was not sent !\n",
            static_cast<unsigned>(settings.offset));
    return finish(0);
}
