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
// On SIGTERM or SIGINT it prints what waited in the pipe when the signal
// came, and exits 0, however fast traps come: a stop loses nothing that was
// handed over before it, and what comes after it waits in the pipe. A record
// that had begun then is waited for, a second at most, since a handler
// writes a trap that arrives in pieces in several writes.
//
// A record is taken out of the pipe only once it has been delivered
// (read_records): a crash may repeat the one being delivered, and loses
// none that has ended. Only a record too long to wait for is taken out as
// it streams in, and a crash loses what went of it.
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
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Set by SIGTERM and SIGINT while waiting for the pipe; between the waits
// they are held back, and looked for on every pass of the loop.
volatile sig_atomic_t stopping = 0;
sigset_t stop_signals;

// How long a stop waits for the end of a record that had begun when it
// came: a handler writes its trap's text and the marker apart (and a trap
// over 8 KiB in several writes), so a stop between them is ordinary. Well
// under the service's stop timeout.
constexpr long long STOP_WAIT_MS = 1000;
// How long after taking the pipe away (-R) the stop comes: a handler that
// opened the pipe just before may still be writing.
constexpr long long TAKE_AWAY_MS = 500;
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
// stop never comes between a read and the delivery of what it brought.
// Returns the signal mask to wait with. A failed write to standard output
// (a full disk, a reader gone) is reported, not a signal's death.
sigset_t catch_stop_signals()
{
    sigset_t while_waiting;
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

// Whether the stop has come: a signal, during a wait or held back since,
// or the time stop_at (-R).
bool stop_due(long long stop_at)
{
    const timespec at_once{};
    if (stopping == 0 && sigtimedwait(&stop_signals, nullptr, &at_once) > 0)
        stopping = 1;
    return stopping != 0 || (stop_at != NEVER && now_ms() >= stop_at);
}

// The FIFO is read through a copy (tee(2)) in a pipe of trapsink's own:
// a record is taken out of the FIFO only once it has been delivered, so
// that a trapsink killed at any moment loses no trap that has ended, and
// the next one starts at a record's first byte. The record being delivered
// comes again after a restart.
int copy_fds[2] = {-1, -1};
// The copy, read out of that pipe.
char in[1 << 20];
// How much is copied at a time, unless a record is longer.
constexpr std::size_t BATCH = 1 << 16;

// Makes the pipe the FIFO is copied into, as large as the FIFO, or as
// large as the system lets this process make it, saying so. Returns the
// size from which a record that has begun is taken out as it streams in: a
// pipe full of pages holds at least half its bytes (the kernel starts a new
// page for a write that does not fit in the last), so a record that could
// fill the FIFO never waits for its end there, and one that could fill the
// copy is never copied whole.
std::size_t make_copy_pipe(int fd, const char *fifo_name)
{
    if (pipe2(copy_fds, O_CLOEXEC | O_NONBLOCK) != 0)
        fail("Error making a pipe to copy", fifo_name);
    long fifo_size = fcntl(fd, F_GETPIPE_SZ);
    long page = getpagesize();
    long size = std::min(fifo_size > 0 ? fifo_size : static_cast<long>(BATCH), static_cast<long>(sizeof in));
    int error = 0;
    for (long want = size; fcntl(copy_fds[1], F_SETPIPE_SZ, want) < 0 && want > page; want /= 2)
        error = errno;
    long copy_size = fcntl(copy_fds[1], F_GETPIPE_SZ);
    auto stream_at = static_cast<std::size_t>(std::max(std::min(size, copy_size) / 2 - page, page));
    if (copy_size < size) {
        std::fprintf(stderr,
                     "trapsink: Error enlarging a copy of '%s' to %ld bytes [%s]: traps over %zu bytes "
                     "are taken out as they stream in\n",
                     fifo_name, size, std::strerror(error), stream_at);
    }
    return stream_at;
}

// Copies up to size bytes of what waits in the FIFO into in, and returns
// how many (0: nothing waits). A FIFO that nothing holds open for writing
// has ended, and so has the run.
std::size_t copy_fifo(int fd, const char *fifo_name, std::size_t size)
{
    ssize_t copied = tee(fd, copy_fds[1], size, SPLICE_F_NONBLOCK);
    if (copied < 0 && errno == EAGAIN)
        return 0;
    if (copied < 0)
        fail("Error reading", fifo_name);
    if (copied == 0) {
        std::fprintf(stderr, "trapsink: '%s' ended: nothing holds it open for writing\n", fifo_name);
        std::exit(1);
    }
    for (ssize_t got = 0; got < copied;) {
        ssize_t n = read(copy_fds[0], in + got, static_cast<std::size_t>(copied - got));
        if (n <= 0)
            fail("Error reading a copy of", fifo_name);
        got += n;
    }
    return static_cast<std::size_t>(copied);
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

// Hands the records that end in the first size bytes of the copy to the
// sink (or standard output, raw), until limit records have ended, each
// flushed out and only then taken out of the FIFO; and the start of one
// that has not ended where it is at least stream_at bytes. Returns how many
// bytes were taken out.
std::size_t deliver(int fd, const char *fifo_name, const RecordSink *sink, std::size_t size,
                    long limit, std::size_t stream_at)
{
    std::size_t at = 0;
    while (at < size && (limit < 0 || records_ended() < limit)) {
        std::size_t part = frame(sink, in + at, size - at, size - at >= stream_at);
        if (part == 0)
            break;
        if (sink == nullptr)
            put(in + at, part);
        flush_output();
        take_out(fd, fifo_name, part);
        at += part;
    }
    return at;
}

std::size_t queued(int fd)
{
    int bytes = 0;
    return ioctl(fd, FIONREAD, &bytes) == 0 && bytes > 0 ? static_cast<std::size_t>(bytes) : 0;
}

// Waits until the pipe has been written to since the last wait (an
// edge-triggered epoll wakes on every write), a stop signal comes, or
// until, in milliseconds of the monotonic clock, if that is not NEVER.
void wait_for_change(int changes, long long until, const sigset_t *while_waiting, const char *fifo_name)
{
    int timeout = -1;
    if (until != NEVER)
        timeout = static_cast<int>(std::clamp(until - now_ms(), 0LL, static_cast<long long>(INT_MAX)));
    epoll_event event{};
    if (epoll_pwait(changes, &event, 1, timeout, while_waiting) < 0 && errno != EINTR)
        fail("Error waiting for", fifo_name);
}

// Reads the pipe until limit records have ended, or a stop (a signal, or
// stop_at, in milliseconds of the monotonic clock) has come; returns the
// exit status. Records are delivered as they end, and a record too long to
// wait for as it streams in. A stop delivers what was in the pipe when it
// came, and the end of a record that had begun by then, STOP_WAIT_MS at
// most; that one is delivered as far as it came. What came after the stop
// stays in the pipe.
int read_records(int fd, const char *fifo_name, const RecordSink *sink, long limit,
                 long long stop_at, const sigset_t *while_waiting)
{
    const std::size_t stream_at = make_copy_pipe(fd, fifo_name);
    int changes = epoll_create1(EPOLL_CLOEXEC);
    epoll_event watched{.events = EPOLLIN | EPOLLET, .data = {}};
    if (changes < 0 || epoll_ctl(changes, EPOLL_CTL_ADD, fd, &watched) != 0)
        fail("Error watching", fifo_name);
    std::size_t taken = 0;      // bytes taken out of the FIFO so far
    std::size_t stop_mark = 0;  // ... once what was there at the stop is out
    bool stopped = false;
    long long end_wait = NEVER;  // for the end of a record begun at the stop
    auto wait_for_end = [&] {
        end_wait = now_ms() + STOP_WAIT_MS;
        limit = records_ended() + 1;
    };
    for (;;) {
        if (limit >= 0 && records_ended() >= limit)
            return 0;
        if (!stopped && stop_due(stop_at)) {
            stopped = true;
            stop_mark = taken + queued(fd);
        }
        // Once what was there at the stop is out, only the end of a record
        // that had begun is waited for.
        bool to_mark = stopped && end_wait == NEVER;
        if (to_mark && taken >= stop_mark) {
            if (!record_begun())
                return 0;
            wait_for_end();
            to_mark = false;
        }
        std::size_t room = to_mark ? stop_mark - taken : sizeof in;
        std::size_t copied = copy_fifo(fd, fifo_name, std::min(BATCH, room));
        std::size_t handed = deliver(fd, fifo_name, sink, copied, limit, stream_at);
        if (handed == 0 && copied == BATCH) {
            // A record longer than that: all of it that has come.
            copied = copy_fifo(fd, fifo_name, room);
            handed = deliver(fd, fifo_name, sink, copied, limit, stream_at);
        }
        taken += handed;
        if (handed > 0)
            continue;
        // Nothing could be delivered: the pipe is empty, or holds the start
        // of a record.
        if (to_mark && copied > 0) {
            wait_for_end();
            continue;
        }
        if (end_wait != NEVER && now_ms() >= end_wait) {
            deliver(fd, fifo_name, sink, copied, limit, 0);
            cut_record(sink);
            return 0;
        }
        wait_for_change(changes, stopped ? end_wait : stop_at, while_waiting, fifo_name);
    }
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
