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
// A trap goes in whole or not at all: a fragment left in the pipe would run
// on into the next trap, from another sender, as one record. What has
// arrived whole goes in with its marker in one write, which the kernel keeps
// whole up to PIPE_BUF bytes; anything longer goes in only where the pipe
// is sure to have room for it, and for the end of a trap that is cut later
// (room_for). A trap that has begun and cannot be finished is ended there,
// so that it stands apart as a record of its own.
//
// A reader that stops takes the pipe away first: it gives the FIFO mode 0,
// then reads what was written before, and then the pipe is closed. A run
// that finds the mode 0 once its trap is in cannot know that it was read,
// and says so (pipe_fault).
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
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
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
// progress message, or for the marker that follows the last chunk in the
// same write. The zero byte never goes into the pipe.
char chunk[CHUNK_SIZE + 1];

int pipe_fd = -1;
size_t trap_sent = 0;  // bytes of this trap in the pipe
long pages_left = 0;   // of the pipe, free at least, as far as this run knows
char last_sent = '\n';

// "-d LEVEL" in exactly that shape sets the level; anything else leaves it at
// 0 without a word. LEVEL is read as a 64-bit integer (strtoll: a long is
// 32 bits on 32-bit systems), and its low 32 bits are kept, so 4294967297
// is 1 and 4294967295 is -1.
int32_t debug_level(int argc, char **argv)
{
    if (argc < 3 || strcmp(argv[1], "-d") != 0)
        return 0;
    return static_cast<int32_t>(strtoll(argv[2], nullptr, 10));
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

// What is wrong with the pipe on fd, or nullptr: anything but a FIFO, or a
// FIFO that its reader is taking away, which has mode 0 from then on. Just
// opened, that is refused as for every opener but root.
const char *pipe_fault(int fd, bool opening)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return strerror(errno);
    if (!S_ISFIFO(st.st_mode))
        return "Not a FIFO";
    if ((st.st_mode & 07777) != 0)
        return nullptr;
    return opening ? strerror(EACCES) : "Pipe taken away by its reader";
}

// Opens the reader's pipe, never creating anything at its path. Anything but
// a FIFO there (a regular file left behind, say) is refused untouched, and
// so is a pipe being taken away, by root too.
int open_pipe()
{
    int fd = open(PIPE_PATH, O_WRONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        trace_write(TRACE_ERROR, "Error opening pipe '%s' [%s]", PIPE_PATH,
                    strerror(errno));
        exit(EXIT_FAILURE);
    }
    if (const char *cause = pipe_fault(fd, true); cause != nullptr) {
        trace_write(TRACE_ERROR, "Error opening pipe '%s' [%s]", PIPE_PATH,
                    cause);
        close(fd);
        exit(EXIT_FAILURE);
    }
    trace_write(TRACE_PROGRESS, "Opened pipe '%s'", PIPE_PATH);
    return fd;
}

// Whether more input is there to read at once (or its end): then what was
// read is held back for it, so that a trap that has arrived whole goes in
// whole. Input still to come is never waited for with a chunk in hand.
bool more_input_waiting()
{
    pollfd input{STDIN_FILENO, POLLIN, 0};
    return poll(&input, 1, 0) > 0;
}

// The pages of the pipe that a write is sure to find free, with this run its
// only writer, or -1 with errno set. The kernel keeps a pipe as pages, and
// puts a write into the last one only if the part of it beyond whole pages
// fits there, else starts a new page: so any two pages in a row but the
// first hold a page's worth of bytes between them, and Q bytes queued take
// at most 2 * (Q / page) + 2 pages. Reading only ever frees pages.
long sure_free_pages()
{
    int queued = 0;
    long size = fcntl(pipe_fd, F_GETPIPE_SZ);
    if (size < 0 || ioctl(pipe_fd, FIONREAD, &queued) != 0)
        return -1;
    long page = getpagesize();
    long pages = size / page;
    long used = queued == 0 ? 0 : 2 * (queued / page) + 2;
    if (used > queued)
        used = queued;
    return pages > used ? pages - used : 0;
}

// Whether size bytes are sure to go in, and after them, unless they end the
// trap, the end of a trap cut short (end_cut_trap): a page is kept for it.
// A write takes at most one page more than its whole pages. Where they are
// not, errno says why (EAGAIN: no room it can be sure of).
bool room_for(size_t size, bool last)
{
    long fresh = sure_free_pages();
    if (fresh < 0)
        return false;
    if (fresh > pages_left)
        pages_left = fresh;
    long page = getpagesize();
    long taken = static_cast<long>((size + page - 1) / page);
    if (taken + (last ? 0 : 1) > pages_left) {
        errno = EAGAIN;
        return false;
    }
    pages_left -= taken;
    return true;
}

// Ends the part of a trap that went in with an empty line, after the line
// it was cut in, so that a reader takes it for a record of its own rather
// than the start of the next trap. Its room was kept. Returns whether it
// went in, with errno set where it did not.
bool end_cut_trap()
{
    size_t size = last_sent == '\n' ? 1 : 2;
    return write(pipe_fd, "\n\n", size) == static_cast<ssize_t>(size);
}

// Writes size bytes of the trap (with its marker, if last) in one call, or
// traces why not, ends what went in of the trap, closes the pipe and ends
// the run with status 1. What has arrived whole, up to PIPE_BUF bytes, is
// written as it is: the kernel takes it all or nothing. Anything else is
// written only where the pipe is sure to take it, which is less than the
// room it has: a write refused for that says so. A short write has no error
// number of its own, so it is described by its counts instead.
void write_trap(const char *data, size_t size, bool last)
{
    bool whole = trap_sent == 0 && last && size <= PIPE_BUF;
    bool unsure = false;
    ssize_t written = -1;
    if (whole || room_for(size, last))
        written = write(pipe_fd, data, size);
    else
        unsure = errno == EAGAIN;
    if (written > 0) {
        trap_sent += static_cast<size_t>(written);
        last_sent = data[written - 1];
    }
    if (written == static_cast<ssize_t>(size))
        return;
    char reason[96];
    if (written >= 0)
        snprintf(reason, sizeof reason, "short write, %zd of %zu bytes", written, size);
    else
        snprintf(reason, sizeof reason, "%s%s", strerror(errno),
                 unsure ? ": no room the handler can be sure of" : "");
    bool marker_alone = last && size == 1;
    bool reader_gone = written < 0 && errno == EPIPE;
    if (trap_sent == 0 || marker_alone || reader_gone) {
        // Nothing of the trap went in, all but its marker, or nothing more
        // can go in: no reader is left.
        trace_write(TRACE_ERROR, "Error writing %sto pipe '%s' [%s]", marker_alone ? "EOD " : "",
                    PIPE_PATH, reason);
    } else if (end_cut_trap()) {
        trace_write(TRACE_ERROR, "Error writing to pipe '%s' [%s: trap cut after %zu bytes]",
                    PIPE_PATH, reason, trap_sent);
    } else {
        // Another writer took the room kept for the end.
        const char *refused = strerror(errno);
        trace_write(TRACE_ERROR, "Error writing to pipe '%s' [%s]", PIPE_PATH, reason);
        trace_write(TRACE_ERROR, "Error writing EOD to pipe '%s' [%s]", PIPE_PATH, refused);
    }
    close(pipe_fd);
    exit(EXIT_FAILURE);
}

// Once the trap is in: a reader that began to take the pipe away before
// then may have stopped reading before it came, and whatever is left in the
// pipe is gone once it is closed. Everything written before it began is
// read. So a pipe found with mode 0 now is a trap that may be lost, and the
// run says so: one found read after all is better than one lost unheard.
void check_not_taken_away()
{
    const char *cause = pipe_fault(pipe_fd, false);
    if (cause == nullptr)
        return;
    trace_write(TRACE_ERROR, "Error writing to pipe '%s' [%s]", PIPE_PATH, cause);
    close(pipe_fd);
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

    pipe_fd = open_pipe();

    // Each chunk goes in before the next is waited for: the trap is forwarded
    // as it arrives, through this one buffer, whatever its length. What is
    // there to read at once is read first, so that a trap that has arrived
    // goes in with its marker.
    int read_error = 0;
    size_t held = 0;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, chunk + held, CHUNK_SIZE - held);
        if (n <= 0) {
            if (n < 0)
                read_error = errno;
            break;
        }
        chunk[held + n] = '\0';
        trace_write(TRACE_PROGRESS, "Read line from stdin: '%s'", chunk + held);
        held += static_cast<size_t>(n);
        if (held < CHUNK_SIZE && more_input_waiting())
            continue;
        write_trap(chunk, held, false);
        held = 0;
    }

    // A failed read still ends the stream with the marker, so that the reader
    // is not left waiting for the rest of a trap that will not come.
    chunk[held] = EOD_MARKER[0];
    write_trap(chunk, held + 1, true);
    check_not_taken_away();
    trace_write(TRACE_PROGRESS, "Wrote EOD to pipe");
    if (read_error != 0)
        trace_write(TRACE_ERROR, "Error reading from stdin [%s]",
                    strerror(read_error));
    close(pipe_fd);
    trace_write(TRACE_PROGRESS, "Traphandler terminated.");
    return read_error != 0 ? EXIT_FAILURE : EXIT_SUCCESS;
}
