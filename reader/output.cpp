#include "output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void fail(const char *what, const char *name)
{
    std::fprintf(stderr, "trapsink: %s '%s' [%s]\n", what, name, std::strerror(errno));
    std::exit(1);
}

void put(const char *data, std::size_t size)
{
    if (std::fwrite(data, 1, size, stdout) != size)
        fail("Error writing to", "standard output");
}

void put_line(const char *format, ...)
{
    char line[96];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    put(line, static_cast<std::size_t>(length));
}

void flush_output()
{
    if (std::fflush(stdout) != 0)
        fail("Error writing to", "standard output");
}
