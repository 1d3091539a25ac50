// What trapsink says and prints: its own messages on standard error, and
// standard output with every write checked where it happens (stdio drops
// what it could not write, and a later flush may then succeed).
#pragma once

#include <cstddef>

// "trapsink: WHAT 'NAME' [the error text of errno]" on standard error, and
// exit status 1.
[[noreturn]] void fail(const char *what, const char *name);

// Writes to standard output, or fails with "Error writing to 'standard
// output'".
void put(const char *data, std::size_t size);
__attribute__((format(printf, 1, 2))) void put_line(const char *format, ...);
void flush_output();
