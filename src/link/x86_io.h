// The x86 port instructions themselves, shared by the Linux and Windows backends: one `out` or
// `in` each, with no system call around them and no reordering across them.
#pragma once

#include <cstdint>

inline void x86_out(uint16_t port, uint8_t value)
{
    asm volatile("outb %b0, %w1" : : "a"(value), "Nd"(port) : "memory");
}

inline uint8_t x86_in(uint16_t port)
{
    uint8_t value;
    asm volatile("inb %w1, %b0" : "=a"(value) : "Nd"(port) : "memory");
    return value;
}
