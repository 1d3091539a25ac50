// reduzezezev: hands one trap over to the pipe's reader.
//
// A trap receiver starts this program once per trap with the trap's text on
// standard input. Every byte is forwarded, unchanged and as it arrives, into
// the named pipe that the reader provides; the end of the input is marked by
// one newline of its own. The exit status says whether the hand-over worked:
// 0 when the whole input and the marker went in, 1 otherwise.
//
// The pipe is opened non-blocking and stays so: with no reader the open fails
// at once, and a full pipe refuses a write instead of stalling the receiver
// that waits for us. Nothing is retried.
//
// A stop of the trap receiver signals all its processes, a handler among
// them: ended between a chunk and the marker, it would leave a fragment that
// runs on into the next trap. So SIGTERM is held back for the run, which
// never waits but for its input, and that ends when the receiver goes; the
// run ends as it would have, with its status.

#include "trace.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

// Only the demo, test and benchmark builds compile in paths of their own,
// under their build tree; the installed program has no way to change them.
#ifndef REDUZEZEZEV_PIPE_PATH
#define REDUZEZEZEV_PIPE_PATH "/var/run/corvane.p"
#endif
#ifndef REDUZEZEZEV_TRACE_PATH
#define REDUZEZEZEV_TRACE_PATH "/var/tmp/corvane.trc"
#endif

namespace {

constexpr char PROGRAM_NAME[] = "reduzezezev";
constexpr char PIPE_PATH[] = REDUZEZEZEV_PIPE_PATH;
constexpr char TRACE_PATH[] = REDUZEZEZEV_TRACE_PATH;
constexpr size_t CHUNK_SIZE = 8192;
constexpr char EOD_MARKER[] = "\n";

// The longest message is a whole chunk's; the trace log writes it whole.
static_assert(sizeof "Read line from stdin: ''" + CHUNK_SIZE < TRACE_MESSAGE_MAX);

// One chunk of input, plus room for the zero byte that ends its text in the
// progress message. The zero byte never goes into the pipe.
char chunk[CHUNK_SIZE + 1];

// "-d LEVEL" in exactly that shape sets the level; anything else leaves it at
// 0 without a word. LEVEL is read as strtol reads it, and its low 32 bits
// are kept, so 4294967297 is 1 and 4294967295 is -1.
int32_t debug_level(int argc, char **argv)
{
    if (argc < 3 || strcmp(argv[1], "-d") != 0)
        return 0;
    return static_cast<int32_t>(strtol(argv[2], nullptr, 10));
}

// A descriptor 0, 1 or 2 that the caller left closed would be handed out by
// the next open: the pipe could become "standard error", or the trace file
// "standard input". Each closed one is filled with /dev/null, opened
// write-only so that reading a closed standard input still fails as it would
// have (EBADF) rather than passing for an empty trap. One poll finds them.
void fill_standard_descriptors()
{
    pollfd fds[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    bool polled = poll(fds, 3, 0) >= 0;
    for (int fd = 0; fd < 3; ++fd) {
        bool closed = polled ? (fds[fd].revents & POLLNVAL) != 0
                             : fcntl(fd, F_GETFD) < 0 && errno == EBADF;
        if (closed && open("/dev/null", O_WRONLY) < 0) {
            trace_write(TRACE_ERROR, "Error opening '/dev/null' [%s]",
                        strerror(errno));
            exit(EXIT_FAILURE);
        }
    }
}

// Opens the reader's pipe, never creating anything at its path. Anything but
// a FIFO there (a regular file left behind, say) is refused untouched.
int open_pipe()
{
    int fd = open(PIPE_PATH, O_WRONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        trace_write(TRACE_ERROR, "Error opening pipe '%s' [%s]", PIPE_PATH,
                    strerror(errno));
        exit(EXIT_FAILURE);
    }
    struct stat st;
    const char *cause = nullptr;
    if (fstat(fd, &st) != 0)
        cause = strerror(errno);
    else if (!S_ISFIFO(st.st_mode))
        cause = "Not a FIFO";
    if (cause != nullptr) {
        trace_write(TRACE_ERROR, "Error opening pipe '%s' [%s]", PIPE_PATH,
                    cause);
        close(fd);
        exit(EXIT_FAILURE);
    }
    trace_write(TRACE_PROGRESS, "Opened pipe '%s'", PIPE_PATH);
    return fd;
}

// Writes all of data in one call, or traces why not, closes the pipe and
// ends the run with status 1. A partial write has no error number of its
// own, so it is described by the counts instead.
void write_or_exit(int fd, const char *data, size_t size, bool eod)
{
    ssize_t written = write(fd, data, size);
    if (written == static_cast<ssize_t>(size))
        return;
    char counts[64];
    const char *reason = counts;
    if (written < 0)
        reason = strerror(errno);
    else
        snprintf(counts, sizeof counts, "short write, %zd of %zu bytes",
                      written, size);
    trace_write(TRACE_ERROR, "Error writing %sto pipe '%s' [%s]",
                eod ? "EOD " : "", PIPE_PATH, reason);
    close(fd);
    exit(EXIT_FAILURE);
}

}  // namespace

int main(int argc, char **argv)
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    trace_configure(PROGRAM_NAME, TRACE_PATH, debug_level(argc, argv));
    fill_standard_descriptors();
    trace_write(TRACE_PROGRESS, "Traphandler started ...");

    int pipe_fd = open_pipe();

    // Each chunk goes in before the next is read: the trap is forwarded as it
    // arrives, through this one buffer, whatever its length.
    int read_error = 0;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, chunk, CHUNK_SIZE);
        if (n <= 0) {
            if (n < 0)
                read_error = errno;
            break;
        }
        chunk[n] = '\0';
        trace_write(TRACE_PROGRESS, "Read line from stdin: '%s'", chunk);
        write_or_exit(pipe_fd, chunk, static_cast<size_t>(n), false);
    }

    // A failed read still ends the stream with the marker, so that the reader
    // is not left waiting for the rest of a trap that will not come.
    write_or_exit(pipe_fd, EOD_MARKER, 1, true);
    trace_write(TRACE_PROGRESS, "Wrote EOD to pipe");
    if (read_error != 0)
        trace_write(TRACE_ERROR, "Error reading from stdin [%s]",
                    strerror(read_error));
    close(pipe_fd);
    trace_write(TRACE_PROGRESS, "Traphandler terminated.");
    return read_error != 0 ? EXIT_FAILURE : EXIT_SUCCESS;
}
