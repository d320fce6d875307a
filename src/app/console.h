// Where the tool's messages go: standard output unless a caller (a test, the benchmark) redirects it.
#pragma once

#include <cstdio>

// Sends every later message to `stream`; nullptr restores standard output.
void set_console(FILE* stream);

// Prints one formatted message and flushes it, so that a pipe or a log sees it at once.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
