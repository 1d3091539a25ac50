#include "trace.h"

#include "journal_stream.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

namespace {

const char *trace_program = "";
const char *trace_path = "";
int32_t trace_threshold = 0;

// Absent until the first message that passes the threshold; then open until
// the process ends, never closed explicitly.
FILE *trace_stream = nullptr;
// Set once creating the file has failed, so that the failure is reported a
// single time and no later message tries again.
bool trace_unavailable = false;
// How much of the file is whole lines: a line that does not go in whole is
// cut back to here.
off_t trace_length = 0;

// The message of the line being written, formatted once for the file and,
// should it not get there, for standard error.
char message[TRACE_MESSAGE_MAX];
// The stream's buffer holds a whole line (the prefix is at most a time
// stamp of 23 characters, the name, a pid and 5 more), so that flushing a
// line is one write: a write that fails loses that line and no other.
constexpr size_t PREFIX_MAX = 128;
char stream_buffer[TRACE_MESSAGE_MAX + PREFIX_MAX];

// Shown when local time cannot be had; as wide as a real four-digit-year stamp.
constexpr char TIMESTAMP_UNKNOWN[] = "00000000.000000";

// The priority prefixes of sd-daemon(3), for lines on standard error where
// that is the journal: a failure of the run, and a trace that could not be
// had (the trap is handed over all the same).
constexpr char JOURNAL_ERROR[] = "<3>";
constexpr char JOURNAL_WARNING[] = "<4>";

// Whether standard error is the journal, as under the trap receiver's
// service. Looked at only when a line is to go there, which a handed-over
// trap never needs; then kept.
bool stderr_is_journal()
{
    static int known = -1;
    if (known < 0)
        known = is_journal_stream(STDERR_FILENO);
    return known != 0;
}

// The prefix a line on standard error takes: the journal's, or none.
const char *stderr_prefix(const char *priority)
{
    return stderr_is_journal() ? priority : "";
}

// Creates the file, never following a link and never writing into anything
// that already exists. On failure, reports it on standard error.
bool trace_open()
{
    if (trace_unavailable)
        return false;
    // Of all that the handler writes, only this file (and standard error,
    // where it is a file) can outgrow a file-size limit: pipes have none.
    // The signal for that would end the run and cost the trap; ignored, a
    // line past the limit fails like any other failed trace write.
    (void)signal(SIGXFSZ, SIG_IGN);
    int fd = open(trace_path, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
        trace_stream = fdopen(fd, "w");
        if (trace_stream != nullptr) {
            (void)setvbuf(trace_stream, stream_buffer, _IOFBF, sizeof stream_buffer);
            return true;
        }
        int error = errno;
        close(fd);
        errno = error;
    }
    int error = errno;
    fprintf(stderr, "%sCannot open log file '%s' [%s]\n", stderr_prefix(JOURNAL_WARNING),
            trace_path, strerror(error));
    trace_unavailable = true;
    return false;
}

void format_timestamp(char (&out)[24])
{
    time_t now = time(nullptr);
    tm local;
    if (localtime_r(&now, &local) == nullptr
        || strftime(out, sizeof out, "%Y%m%d.%H%M%S", &local) == 0)
        memcpy(out, TIMESTAMP_UNKNOWN, sizeof TIMESTAMP_UNKNOWN);
}

// Writes the message as one line and flushes it, in one write. A line that
// does not go in whole (a full disk, the file-size limit) is cut out again,
// so that the file holds only whole lines and the next one starts where
// this one should have.
bool write_line()
{
    char timestamp[24];
    format_timestamp(timestamp);
    int length = fprintf(trace_stream, "%s (%s-%d): %s\n", timestamp,
                              trace_program, static_cast<int>(getpid()), message);
    if (length >= 0 && fflush(trace_stream) == 0) {
        trace_length += length;
        return true;
    }
    __fpurge(trace_stream);
    clearerr(trace_stream);
    int fd = fileno(trace_stream);
    (void)!ftruncate(fd, trace_length);
    (void)lseek(fd, trace_length, SEEK_SET);
    return false;
}

}  // namespace

void trace_configure(const char *program_name, const char *path,
                     int32_t threshold)
{
    trace_program = program_name;
    trace_path = path;
    trace_threshold = threshold;
}

void trace_write(int32_t level, const char *format, ...)
{
    // Once the file could not be created, only a failure has anywhere to go.
    if (trace_threshold < level || (trace_unavailable && level > TRACE_ERROR))
        return;
    // Callers pass errno's text as an argument, but tracing must not disturb
    // errno for any caller that reads it after this call.
    int saved_errno = errno;
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);

    bool traced = (trace_stream != nullptr || trace_open()) && write_line();
    // A failure that the trace file did not take is not left to show only
    // as a logging problem: it goes to standard error as well, which the
    // trap receiver logs. Where that is the journal, every failure goes
    // there, at error priority, so that the journal lists each refused trap.
    if (level <= TRACE_ERROR && (!traced || stderr_is_journal()))
        fprintf(stderr, "%s%s: %s\n", stderr_prefix(JOURNAL_ERROR), trace_program, message);
    errno = saved_errno;
}
