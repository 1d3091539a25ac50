// trapsink: a stand-in for the reader of the handler's pipe.
//
// It takes the FIFO from systemd (socket activation: a socket unit with
// ListenFIFO=) or else makes it when nothing is at its path, gives it the
// mode and group it is asked for, holds it open for reading and writing (so
// that it never sees end-of-file between handlers and handlers never find
// the pipe without a reader), drains it, and prints what arrives, one
// record a trap (records.h); in raw mode (-r) the bytes are passed on
// untouched.
//
// When its standard output is the journal (a service's, as systemd says in
// JOURNAL_STREAM), each record is sent as one journal entry instead
// (journal.h).
//
// On SIGTERM or SIGINT it prints what waits in the pipe, and exits 0: a stop
// loses nothing that was handed over before it. A record that has begun
// when no whole one waits is waited for, a second at most, since a handler
// writes a trap that arrives in pieces in several writes.
//
// A record is taken out of the pipe only once it has been delivered
// (read_records): a crash may repeat one, never lose one.
//
// This file is the run: the options, the standard descriptors, the stop
// signals and the read loop. pipe.cpp takes the pipe (activation.cpp the
// one systemd passes), records.cpp frames records, journal.cpp sends them
// to the journal; without_systemd.cpp stands in for the two that need
// libsystemd in a build without it.
//
// usage: trapsink [-r] [-n COUNT] [-N FD] [-m MODE] [-g GROUP] [FIFO]
//        trapsink -R [-r] [-n COUNT] [-N FD] FIFO
//   -r        copy the stream to standard output byte for byte, no framing
//             (but into the journal, one entry a record all the same)
//   -R        take the FIFO away: once it is held, give it mode 0 and remove
//             its path where the directory allows, so that handlers are
//             refused from then on, then stop as on SIGTERM once the
//             handlers that opened it before have had a moment
//   -n COUNT  exit with status 0 after COUNT records (0: once the FIFO is held);
//             records after them stay in the pipe
//   -N FD     when the FIFO is held, write a newline to FD and close it
//   -m MODE   the FIFO's permission bits, in octal (default 0600 when it is
//             created; an existing FIFO keeps its own unless -m is given)
//   -g GROUP  the FIFO's group, by name or number (default: left as it is)
//   FIFO      the path; under socket activation only the name shown in
//             messages, and optional
// Exit status: 0 after COUNT records or a stop, 1 on a failure (a write to
// standard output that fails included), 2 on a usage error.

#include "journal.h"
#include "output.h"
#include "pipe.h"
#include "records.h"
#include "../src/journal_stream.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Set by SIGTERM and SIGINT, which are delivered only while waiting for the
// pipe: what was read is always printed whole first.
volatile sig_atomic_t stopping = 0;

// How long a stop waits for the end of a record that has begun: a handler
// writes its trap's text and the marker apart (and a trap over 8 KiB in
// several writes), so a stop between them is ordinary. Well under the
// service's stop timeout.
constexpr long long STOP_WAIT_MS = 1000;
// How long after taking the pipe away (-R) the stop comes: a handler that
// opened the pipe just before may still be writing.
constexpr long long TAKE_AWAY_MS = 500;
// How often the pipe is looked at while a record in it has begun: it is
// never empty then, so only the clock tells when to look for its end.
constexpr long long BEGUN_POLL_MS = 10;
constexpr long long NEVER = LLONG_MAX;

long long now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

[[noreturn]] void usage()
{
    std::fputs("usage: trapsink [-r] [-n COUNT] [-N FD] [-m MODE] [-g GROUP] [FIFO]\n"
               "       trapsink -R [-r] [-n COUNT] [-N FD] FIFO\n",
               stderr);
    std::exit(2);
}

// A number in the given base, all of text and at most max, or a usage error:
// no sign, no space, nothing after it.
long number(const char *text, int base, long max)
{
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, base);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || value > max)
        usage();
    return value;
}

// A group by name, else by number. A lookup that fails (the group database
// unreadable, say) is not taken for a group that does not exist.
gid_t group_id(const char *name)
{
    group named;
    group *found = nullptr;
    static char buffer[1 << 16];
    if (int error = getgrnam_r(name, &named, buffer, sizeof buffer, &found); error != 0) {
        errno = error;
        fail("Error looking up group", name);
    }
    if (found != nullptr)
        return found->gr_gid;
    if (*name >= '0' && *name <= '9')
        return static_cast<gid_t>(number(name, 10, INT_MAX));
    std::fprintf(stderr, "trapsink: no group '%s'\n", name);
    std::exit(2);
}

// A standard descriptor left closed would be handed out by the next open:
// the FIFO could become standard output, and trapsink would print into its
// own pipe. A closed standard output is refused before anything is read;
// standard input and error are filled with /dev/null.
void check_standard_descriptors()
{
    bool no_output = fcntl(STDOUT_FILENO, F_GETFD) < 0;
    for (int fd = 0; fd < 3; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) != fd)
            std::exit(1);
    if (no_output) {
        errno = EBADF;
        fail("Error writing to", "standard output");
    }
}

void on_stop(int /*signal*/)
{
    stopping = 1;
}

// SIGTERM and SIGINT are held back but for the waits on the pipe, so that a
// stop never comes between a read and the printing of what it brought.
// Returns the signal mask to wait with. A failed write to standard output
// (a full disk, a reader gone) is reported, not a signal's death.
sigset_t catch_stop_signals()
{
    sigset_t stop_signals, while_waiting;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, &while_waiting);
    sigdelset(&while_waiting, SIGTERM);
    sigdelset(&while_waiting, SIGINT);
    struct sigaction stop {};
    stop.sa_handler = on_stop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    return while_waiting;
}

// The FIFO is read through a copy (tee(2)) in a pipe of trapsink's own:
// a record is taken out of the FIFO only once it has been delivered, so
// that a trapsink killed at any moment loses nothing, and the next one
// starts at a record's first byte. A record delivered and not yet taken out
// comes again after a restart.
int copy_fds[2] = {-1, -1};
// The copy, read out of that pipe.
char in[1 << 20];
// How much is copied at a time, unless a record is longer: what was
// printed of a copy when trapsink is killed comes again, so a crash
// repeats at most this much (a trap sent to the journal is taken out as
// soon as it is sent: a crash repeats at most that one).
constexpr std::size_t BATCH = 1 << 16;

// Makes the pipe the FIFO is copied into, as large as the FIFO. Returns
// the size from which a record that has begun is taken out as it streams
// in: a pipe full of pages holds at least half its bytes (the kernel starts
// a new page for a write that does not fit in the last), so a record that
// could fill the FIFO never waits for its end there.
std::size_t make_copy_pipe(int fd, const char *fifo_name)
{
    if (pipe2(copy_fds, O_CLOEXEC | O_NONBLOCK) != 0)
        fail("Error making a pipe to copy", fifo_name);
    long fifo_size = fcntl(fd, F_GETPIPE_SZ);
    if (fifo_size > 0)
        (void)fcntl(copy_fds[1], F_SETPIPE_SZ, fifo_size);
    long copy_size = fcntl(copy_fds[1], F_GETPIPE_SZ);
    long size = std::min({fifo_size > 0 ? fifo_size : copy_size, copy_size,
                          static_cast<long>(sizeof in)});
    long page = getpagesize();
    return static_cast<std::size_t>(std::max(size / 2 - page, page));
}

// Copies up to size bytes of what waits in the FIFO into in: returns how
// many, 0 when nothing waits, or -1 when nothing holds the FIFO open for
// writing.
ssize_t copy_fifo(int fd, const char *fifo_name, std::size_t size)
{
    ssize_t copied = tee(fd, copy_fds[1], size, SPLICE_F_NONBLOCK);
    if (copied < 0 && errno == EAGAIN)
        return 0;
    if (copied < 0)
        fail("Error reading", fifo_name);
    if (copied == 0)
        return -1;
    for (ssize_t got = 0; got < copied;) {
        ssize_t n = read(copy_fds[0], in + got, static_cast<std::size_t>(copied - got));
        if (n <= 0)
            fail("Error reading a copy of", fifo_name);
        got += n;
    }
    return copied;
}

// Takes size bytes, delivered, out of the FIFO.
void take_out(int fd, const char *fifo_name, std::size_t size)
{
    static char taken[BATCH];
    for (std::size_t left = size; left > 0;) {
        ssize_t n = read(fd, taken, std::min(left, sizeof taken));
        if (n <= 0)
            fail("Error reading", fifo_name);
        left -= static_cast<std::size_t>(n);
    }
}

// Hands the first size bytes of the copy to the sink (or standard output,
// raw), and a record they leave begun as cut, if cut; flushes them out, and
// only then takes them out of the FIFO: record by record where the sink
// delivers each as it ends.
void deliver(int fd, const char *fifo_name, const RecordSink *sink, std::size_t size, long limit,
             bool cut = false)
{
    bool each = sink != nullptr && sink->each_delivered;
    std::size_t at = 0;
    do {
        const char *data = in + at;
        std::size_t part = frame(sink, data, size - at, each ? records_ended() + 1 : limit);
        if (sink == nullptr)
            put(data, part);
        at += part;
        if (cut && at == size)
            cut_record(sink);
        flush_output();
        take_out(fd, fifo_name, part);
    } while (at < size);
}

// Reads the pipe until limit records have ended, or a stop (a signal, or
// stop_at, in milliseconds of the monotonic clock) has found it empty;
// returns the exit status. Records are delivered as they end, and a record
// too long to wait for as it streams in. A stop ends the loop once the pipe
// holds no more whole records and no record has begun, or, while one has,
// STOP_WAIT_MS after the stop; that one is delivered as far as it came.
int read_records(int fd, const char *fifo_name, const RecordSink *sink, long limit,
                 long long stop_at, const sigset_t *while_waiting)
{
    const std::size_t stream_at = make_copy_pipe(fd, fifo_name);
    std::size_t copied = 0;  // in the copy: at most the start of one record
    while (limit < 0 || records_ended() < limit) {
        // A record that has begun is copied again only once more has come.
        int queued = 0;
        ssize_t n = static_cast<ssize_t>(copied);
        if (copied == 0 || ioctl(fd, FIONREAD, &queued) != 0 || static_cast<std::size_t>(queued) != copied)
            n = copy_fifo(fd, fifo_name, BATCH);
        if (n < 0) {
            std::fprintf(stderr, "trapsink: '%s' ended: nothing holds it open for writing\n",
                         fifo_name);
            return 1;
        }
        copied = static_cast<std::size_t>(n);
        std::size_t whole = whole_records(in, copied, limit);
        if (whole == 0 && copied == BATCH) {
            // A record longer than that: all of it that has come.
            copied = static_cast<std::size_t>(copy_fifo(fd, fifo_name, sizeof in));
            whole = whole_records(in, copied, limit);
        }
        if (whole == 0 && copied >= stream_at)
            whole = copied;
        if (whole > 0) {
            deliver(fd, fifo_name, sink, whole, limit);
            copied = 0;
            continue;
        }
        // Nothing whole waits: wait for more, until the stop or the end of
        // the wait for a record's end, if either is due. While a record
        // has begun the pipe is never empty, so it is looked at again
        // every BEGUN_POLL_MS.
        bool begun = copied > 0 || record_begun();
        timespec timeout{};
        bool timed = stopping || stop_at != NEVER || copied > 0;
        long long wait_ms = BEGUN_POLL_MS;
        if (stopping || stop_at != NEVER) {
            long long now = now_ms();
            if (stopping && now < stop_at)
                stop_at = now;
            long long wake = now < stop_at ? stop_at : stop_at + STOP_WAIT_MS;
            if (now >= stop_at && (!begun || now >= wake)) {
                // A record whose end did not come in time goes as far as
                // it came.
                deliver(fd, fifo_name, sink, copied, limit, true);
                break;
            }
            if (copied == 0 || wake - now < wait_ms)
                wait_ms = wake - now;
        }
        timeout = {static_cast<time_t>(wait_ms / 1000), static_cast<long>(wait_ms % 1000 * 1000000)};
        pollfd wait{copied > 0 ? -1 : fd, POLLIN, 0};
        if (ppoll(&wait, 1, timed ? &timeout : nullptr, while_waiting) < 0 && errno != EINTR)
            fail("Error reading", fifo_name);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const sigset_t while_waiting = catch_stop_signals();
    check_standard_descriptors();
    const RecordSink *sink = &PRINTED;
    int ready_fd = -1;
    long limit = -1;  // records to print before exiting; -1: no end
    long mode = -1;
    long gid = -1;
    bool take_away = false;
    for (int opt; (opt = getopt(argc, argv, "rRn:N:m:g:")) != -1;) {
        switch (opt) {
        case 'r': sink = nullptr; break;
        case 'R': take_away = true; break;
        case 'n': limit = number(optarg, 10, LONG_MAX); break;
        case 'N': ready_fd = static_cast<int>(number(optarg, 10, INT_MAX)); break;
        case 'm': mode = number(optarg, 8, 0777); break;
        case 'g': gid = group_id(optarg); break;
        default: usage();
        }
    }
    if (is_journal_stream(STDOUT_FILENO))
        if (const RecordSink *journal = journal_sink(); journal != nullptr)
            sink = journal;
    int fd = activated_fifo();
    if (optind + (fd < 0 || take_away ? 1 : 0) > argc || optind + 1 < argc
        || (take_away && (fd >= 0 || mode >= 0 || gid >= 0)))
        usage();
    const char *fifo_name = optind < argc ? argv[optind] : "descriptor 3";
    long long stop_at = NEVER;  // when the loop stops, once the pipe is empty
    if (take_away) {
        fd = take_fifo_away(fifo_name);
        if (fd < 0)
            return 0;  // nothing there: nothing waits
        stop_at = now_ms() + TAKE_AWAY_MS;
    } else {
        if (fd < 0)
            fd = open_fifo(fifo_name);
        take_fifo(fd, fifo_name, mode, gid);
    }
    if (ready_fd >= 0) {
        static char ready_name[32];
        std::snprintf(ready_name, sizeof ready_name, "descriptor %d", ready_fd);
        if (write(ready_fd, "\n", 1) != 1)
            fail("Error writing to", ready_name);
        close(ready_fd);
    }
    return read_records(fd, fifo_name, sink, limit, stop_at, &while_waiting);
}
