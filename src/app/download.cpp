// The download sequence: range checks, port rights, presence probe, the byte-by-byte transfer of
// the image and the closing report.
#include <cstdio>

#include "app/console.h"
#include "app/download.h"
#include "link/parallel_link.h"
#include "link/port_io.h"

namespace {
FILE* image = nullptr;    // the open image file, owned from run_download's start to its end
uint32_t address = 0;     // target address of the next byte
unsigned char byte = 0;   // read buffer

int finish(int status)
{
    std::fclose(image);
    image = nullptr;
    return status;
}

bool read_byte()
{
    return std::fread(&byte, 1, 1, image) == 1;
}

unsigned long bytes_sent(const DownloadSettings& settings)
{
    return static_cast<unsigned long>(address - settings.offset);
}

// A port access that failed ends the run where it happened; the bytes before it were sent.
int access_failed(const DownloadSettings& settings)
{
    const char* why = port_failure();
    say("\nPort access failed after %lu databytes (%s) !\n", bytes_sent(settings), why ? why : "no reason given");
    return finish(1);
}
}  // namespace

int run_download(const DownloadSettings& settings, FILE* stream)
{
    image = stream;
    address = settings.offset;  // nothing sent yet: the probe and the zero writes count 0 databytes
    // Addresses the board cannot hold, or ports past 0xFFFF that would wrap onto the DMA
    // controller at port 0, are refused before any port is touched.
    if (settings.port_address > PORT_ADDRESS_MAX) {
        say("\nPortadress 0x%X out of range (0x0000 to 0xFFFD) !\n",
            static_cast<unsigned>(settings.port_address));
        return finish(1);
    }
    if (settings.offset >= ADDRESS_LIMIT) {
        say("\nOffset 0x%X out of range (0x0000 to 0xFFFF) !\n", static_cast<unsigned>(settings.offset));
        return finish(1);
    }

    link_init(settings.port_address);
    if (const char* refusal = acquire_ports(link_ports().data_port)) {
        say("\nNo access to portadress 0x%X (%s) !\n", static_cast<unsigned>(settings.port_address), refusal);
        return finish(1);
    }
    if (!set_control_idle())
        return access_failed(settings);
    if (send_byte(CMD_ADDR_LOW, 0) != 0) {
        if (port_failure())
            return access_failed(settings);
        say("\nQuorvaemulator not found at portadress 0x%X !\n", static_cast<unsigned>(settings.port_address));
        return finish(1);
    }
    for (uint32_t i = 0; i < ZERO_WRITES; ++i)
        if (!write_data(0))
            return access_failed(settings);

    // Both address halves go before every data byte: the board is never trusted to count.
    // A transfer the board does not answer means it did not get the byte: stop there.
    bool room_left = true;
    for (address = settings.offset; room_left && read_byte(); ++address) {
        if (send_byte(CMD_ADDR_LOW, address & 0xFF) != 0 || send_byte(CMD_ADDR_HIGH, (address >> 8) & 0xFF) != 0 ||
            send_byte(CMD_DATA, byte) != 0) {
            if (port_failure())
                return access_failed(settings);
            say("\nQuorvaemulator stopped answering at address 0x%04X after %lu databytes !\n",
                static_cast<unsigned>(address & 0xFFFF), bytes_sent(settings));
            return finish(1);
        }
        room_left = address + 1 < ADDRESS_LIMIT;
    }
    // One read past the room tells whether the file had more; the rest is never read.
    const bool longer = !room_left && read_byte();
    const bool read_failed = std::ferror(image) != 0;

    // The end command goes out after a read error too. Only the first failure is reported, and a
    // read error comes before the end transfer.
    const bool end_answered = send_byte(CMD_END, 0) == 0;
    if (read_failed) {
        say("\nRead error in the image file after %lu databytes !\n", bytes_sent(settings));
        return finish(1);
    }
    if (!end_answered && port_failure())
        return access_failed(settings);
    if (!end_answered) {
        say("\nQuorvaemulator did not answer the end command after %lu databytes !\n", bytes_sent(settings));
        return finish(1);
    }
    say("Send databytes: %lu  0x%04lX\n", bytes_sent(settings), bytes_sent(settings));
    if (longer)
        say("\nFile longer than the room from offset 0x%04X to 0xFFFF: the rest was not sent !\n",
            static_cast<unsigned>(settings.offset));
    return finish(0);
}
