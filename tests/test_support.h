// Shared helpers for the tests: image streams and running the download with its output captured.
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
    char text[16];
    std::snprintf(text, sizeof text, "%c %04X %02X", a.kind, static_cast<unsigned>(a.port), static_cast<unsigned>(a.value));
    *os << text;
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
        bytes[i] = static_cast<unsigned char>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return bytes;
}

struct Captured {
    int status;
    std::string out;
};

// Runs `body` with the tool's messages sent to a temporary file, and returns them.
template <typename Body>
Captured capture(Body body)
{
    FILE* out = std::tmpfile();
    set_console(out);
    const int status = body();
    set_console(nullptr);
    std::string text;
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;)
        text.push_back(static_cast<char>(c));
    std::fclose(out);
    return {status, text};
}

inline Captured download(uint32_t port_address, uint32_t offset, FILE* image)
{
    return capture([&] { return run_download(DownloadSettings{port_address, offset}, image); });
}
