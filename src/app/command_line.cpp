// Program entry: banner, usage, the positional command line and opening the image file.
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "app/command_line.h"
#include "app/console.h"
#include "app/hex_text.h"

namespace {
const char* const VERSION = "V" QUORVA_VERSION;  // the build's version, from CMake's project()

// True for a file that opened but is a directory: it would fail on the first read.
bool is_directory(FILE* stream)
{
    struct stat info;
    return fstat(fileno(stream), &info) == 0 && S_ISDIR(info.st_mode);
}

// True when `name` is not in the folder at all. The tool's first argument has always been the
// file's name, so --help and --version are options only where no such file could be meant.
bool no_such_file(const char* name)
{
    struct stat info;
    return stat(name, &info) != 0 && errno == ENOENT;
}
}  // namespace

bool scan_hex(const char* text, uint32_t& value)
{
    const char* p = text;
    while (is_blank(*p))
        ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        p += 2;
    if (hex_value(*p) < 0)
        return false;
    uint32_t number = 0;
    for (int digit; (digit = hex_value(*p)) >= 0; ++p)
        number = (number << 4) | static_cast<uint32_t>(digit);  // wraps: only the low 32 bits stay
    value = negative ? 0u - number : number;
    return true;
}

void parse_command_line(int argc, char** argv, DownloadSettings& settings)
{
    settings.port_address = DEFAULT_PORT_ADDRESS;
    settings.offset = DEFAULT_OFFSET;
    // A value without digits keeps the default, silently: the settings line shows what is used.
    if (argc >= 4 && std::strcmp(argv[2], "-a") == 0)
        scan_hex(argv[3], settings.port_address);
    if (argc >= 6 && std::strcmp(argv[4], "-o") == 0)
        scan_hex(argv[5], settings.offset);
}

void print_banner()
{
    say("\n***********************************\n");
    say("***     Quorvaemulator %s    ***\n", VERSION);
    say("***    eproms@quorva.example    ***\n");
    say("***    Use at your own risk !   ***\n");
    say("***    Last change: 17.11.2001  ***\n");
    say("***********************************\n\n");
}

void print_usage()
{
    say("\nUsage: Quorva filename -a portadress [-o offset]\n");
    say("       Quorva hello.bin -a 0x378 -o 0x0\n\n");
    say("       Defaults:\n");
    say("       portadress 0x378\n");
    say("       offset 0x0000\n");
    say("\n");
}

int quorva_main(int argc, char** argv)
{
    print_banner();
    if (argc < 2) {
        print_usage();
        return 1;
    }
    // --help and --version alone, as scripts expect them: status 0. A file of that name is still
    // downloaded, as before; ./--help names it whatever the folder holds.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0 && no_such_file(argv[1])) {
        print_usage();
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0 && no_such_file(argv[1])) {
        say("quorva %s\n", QUORVA_VERSION);
        return 0;
    }
    FILE* image = std::fopen(argv[1], "rb");
    if (image && is_directory(image)) {
        std::fclose(image);
        image = nullptr;
    }
    if (!image) {
        say("\nFile %s not found !\n", argv[1]);
        return 1;
    }
    DownloadSettings settings;
    parse_command_line(argc, argv, settings);
    say("Settings: portadress 0x%X  offset 0x%04X\n", static_cast<unsigned>(settings.port_address),
        static_cast<unsigned>(settings.offset));
    return run_download(settings, image, argv[1]);
}
