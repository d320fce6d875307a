// Shared helpers for the tests: image streams, and the download run with its messages captured.
#pragma once

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/download.h"
#include "sim/sim_board.h"

// Readable port accesses in test failures.
inline void PrintTo(const PortAccess& a, std::ostream* os)
{
    *os << a.kind << ' ' << std::hex << a.port << ' ' << static_cast<unsigned>(a.value) << std::dec;
}

// A read-only stream holding `bytes`, positioned at the start.
inline FILE* image_of(const std::vector<unsigned char>& bytes)
{
    FILE* f = std::tmpfile();
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    return f;
}

inline std::vector<unsigned char> pattern(size_t size, unsigned seed = 1)
{
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(i * 131 + seed * 17 + (i >> 8));
    return bytes;
}

struct Captured {
    int status;
    std::string out;
};

// Runs the download with the tool's messages sent to a temporary file, and returns them.
inline Captured download(uint32_t port_address, uint32_t offset, FILE* image)
{
    FILE* out = std::tmpfile();
    set_console(out);
    const int status = run_download(DownloadSettings{port_address, offset}, image);
    set_console(nullptr);
    std::string text;
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;)
        text.push_back(static_cast<char>(c));
    std::fclose(out);
    return {status, text};
}
