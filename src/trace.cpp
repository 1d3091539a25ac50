#include "trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char *trace_program = "";
const char *trace_path = "";
std::int32_t trace_threshold = 0;

// Absent until the first message that passes the threshold; then open until
// the process ends, never closed explicitly.
FILE *trace_stream = nullptr;
// Set once creating the file has failed, so that the failure is reported a
// single time and no later message tries again.
bool trace_unavailable = false;

// Shown when local time cannot be had; as wide as a real four-digit-year stamp.
constexpr char TIMESTAMP_UNKNOWN[] = "00000000.000000";

// Creates the file, never following a link and never writing into anything
// that already exists. On failure, reports it on standard error.
bool trace_open()
{
    int fd = open(trace_path, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
        trace_stream = fdopen(fd, "w");
        if (trace_stream != nullptr)
            return true;
        int error = errno;
        close(fd);
        errno = error;
    }
    std::fprintf(stderr, "Cannot open log file '%s' [%s]\n", trace_path,
                 std::strerror(errno));
    trace_unavailable = true;
    return false;
}

void format_timestamp(char (&out)[24])
{
    std::time_t now = std::time(nullptr);
    std::tm local;
    if (localtime_r(&now, &local) == nullptr
        || std::strftime(out, sizeof out, "%Y%m%d.%H%M%S", &local) == 0)
        std::memcpy(out, TIMESTAMP_UNKNOWN, sizeof TIMESTAMP_UNKNOWN);
}

}  // namespace

void trace_configure(const char *program_name, const char *path,
                     std::int32_t threshold)
{
    trace_program = program_name;
    trace_path = path;
    trace_threshold = threshold;
}

void trace_write(std::int32_t level, const char *format, ...)
{
    if (trace_threshold < level || trace_unavailable)
        return;
    // Callers pass errno's text as an argument, but creating the file must
    // not disturb errno for any caller that reads it after this call.
    int saved_errno = errno;
    if (trace_stream == nullptr && !trace_open()) {
        errno = saved_errno;
        return;
    }

    char timestamp[24];
    format_timestamp(timestamp);
    std::fprintf(trace_stream, "%s (%s-%d): ", timestamp, trace_program,
                 static_cast<int>(getpid()));
    va_list args;
    va_start(args, format);
    std::vfprintf(trace_stream, format, args);
    va_end(args);
    std::fputc('\n', trace_stream);
    std::fflush(trace_stream);
    errno = saved_errno;
}
