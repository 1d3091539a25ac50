// trapsink: a stand-in for the reader of the handler's pipe.
//
// It takes the FIFO from systemd (socket activation: a socket unit with
// ListenFIFO=) or else makes it when nothing is at its path, gives it the
// mode and group it is asked for, holds it open for reading and writing (so
// that it never sees end-of-file between handlers and handlers never find
// the pipe without a reader), drains it, and prints what arrives.
//
// Record framing: a handler writes the trap text and then one newline of its
// own, the end-of-data marker. A trap receiver's text is made of lines that
// each end in a newline, so the marker shows as an empty line: a record ends
// at the first empty line, whose newline is the marker. An empty trap is a
// record made of the marker alone. A trap whose own text holds an empty line
// is therefore split in two, and one that does not end in a newline runs on
// into the next; in raw mode (-r) the bytes are passed on untouched anyway.
//
// When its standard output is the journal (a service's, as systemd says in
// JOURNAL_STREAM), each record is sent as one journal entry instead: its
// MESSAGE the trap's text as received, without the marker, with the fields
// TRAP_HOST, TRAP_ADDRESS and TRAP_OID where the text has them (a trap
// receiver's text: the sending host, the transport address, then one line
// per variable binding, snmpTrapOID.0 among them).
//
// On SIGTERM or SIGINT it prints what it has read and what waits in the pipe,
// and exits 0: a stop loses nothing that was handed over before it.
//
// usage: trapsink [-r] [-n COUNT] [-N FD] [-m MODE] [-g GROUP] [FIFO]
//   -r        copy the stream to standard output byte for byte, no framing
//             (but into the journal, one entry a record all the same)
//   -n COUNT  exit with status 0 after COUNT records (0: once the FIFO is held);
//             records after them in the same read are not printed
//   -N FD     when the FIFO is held, write a newline to FD and close it
//   -m MODE   the FIFO's permission bits, in octal (default 0600 when it is
//             created; an existing FIFO keeps its own unless -m is given)
//   -g GROUP  the FIFO's group, by name or number (default: left as it is)
//   FIFO      the path; under socket activation only the name shown in
//             messages, and optional
// Exit status: 0 after COUNT records or a stop, 1 on a failure (a write to
// standard output that fails included), 2 on a usage error.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
// The entries carry no CODE_FILE, CODE_LINE and CODE_FUNC of trapsink's own.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

namespace {

// A larger pipe lets bursts of traps in without refusals while the reader
// is busy; not all systems allow it, and nothing depends on it.
constexpr int PIPE_CAPACITY = 1 << 20;

const char *fifo_name = "descriptor 3";  // the FIFO, as messages name it

enum class Output { framed, raw, journal };
Output output = Output::framed;
long limit = -1;  // records to print before exiting; -1: no end

// The framing state, carried from one read to the next.
long records = 0;          // records ended so far
long record_bytes = 0;     // bytes of the current record
bool line_start = true;    // the next byte starts a line of the record
bool in_record = false;    // the current record's header has been printed

// Set by SIGTERM and SIGINT, which are delivered only while waiting for the
// pipe: what was read is always printed whole first.
volatile sig_atomic_t stopping = 0;

[[noreturn]] void fail(const char *what, const char *name = fifo_name)
{
    std::fprintf(stderr, "trapsink: %s '%s' [%s]\n", what, name, std::strerror(errno));
    std::exit(1);
}

[[noreturn]] void usage()
{
    std::fputs("usage: trapsink [-r] [-n COUNT] [-N FD] [-m MODE] [-g GROUP] [FIFO]\n", stderr);
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

const char *file_kind(mode_t mode)
{
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    return "something else";
}

// The FIFO that systemd passes to this process (sd_listen_fds(3)), or -1
// when it passes none.
int activated_fifo()
{
    int passed = sd_listen_fds(0);
    if (passed == 0)
        return -1;
    if (passed != 1) {
        std::fprintf(stderr, "trapsink: LISTEN_FDS=%s: expected the one FIFO\n",
                     std::getenv("LISTEN_FDS"));
        std::exit(1);
    }
    return SD_LISTEN_FDS_START;
}

// Makes the FIFO, mode 0600, when nothing is at path; -m widens it only once
// it is known to be a FIFO. One read-write open gives both ends (fifo(7)):
// the write end keeps the pipe from reaching end-of-file when the last
// handler closes it, and lets handlers open it while this process lives.
int open_fifo(const char *path)
{
    if (mkfifo(path, 0600) != 0 && errno != EEXIST)
        fail("Error creating FIFO");
    int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        fail("Error opening FIFO");
    return fd;
}

// Refuses anything but a FIFO, and a FIFO that another trapsink reads (the
// two would take each other's traps); then sets what was asked for.
// mode < 0 and gid < 0: not asked for.
void take_fifo(int fd, long mode, long gid)
{
    struct stat st;
    if (int fifo = sd_is_fifo(fd, nullptr); fifo <= 0) {
        errno = -fifo;
        if (fifo < 0 || fstat(fd, &st) != 0)
            fail("Error opening FIFO");
        std::fprintf(stderr, "trapsink: '%s' is %s, not a FIFO: remove it or name another path\n",
                     fifo_name, file_kind(st.st_mode));
        std::exit(1);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            fail("Error locking FIFO");
        std::fprintf(stderr, "trapsink: '%s' is read by another trapsink already\n", fifo_name);
        std::exit(1);
    }
    if (gid >= 0 && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0)
        fail("Error setting the group of FIFO");
    if (mode >= 0 && fchmod(fd, static_cast<mode_t>(mode)) != 0)
        fail("Error setting the mode of FIFO");
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    (void)fcntl(fd, F_SETPIPE_SZ, PIPE_CAPACITY);
}

// Every write to standard output is checked where it happens: stdio drops
// what it could not write, and a later flush may then succeed.
void put(const char *data, std::size_t size)
{
    if (std::fwrite(data, 1, size, stdout) != size)
        fail("Error writing to", "standard output");
}

__attribute__((format(printf, 1, 2))) void put_line(const char *format, ...)
{
    char line[96];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    put(line, static_cast<std::size_t>(length));
}

// The lines that frame a record as trapsink prints it.
void print_start(long number)
{
    put_line("=== trap %ld ===\n", number);
}

void print_end(long number, long bytes)
{
    put_line("=== end of trap %ld: %ld bytes ===\n", number, bytes);
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

// Systemd's word that standard output is the journal: JOURNAL_STREAM holds
// its device and inode (systemd.exec(5)).
bool output_is_journal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr)
        return false;
    char *colon = nullptr;
    unsigned long long device = std::strtoull(stream, &colon, 10);
    struct stat st;
    return *colon == ':' && fstat(STDOUT_FILENO, &st) == 0 && st.st_dev == device
           && st.st_ino == std::strtoull(colon + 1, nullptr, 10);
}

// A text that grows as records come in.
struct Buffer {
    char *data = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
};

void add(Buffer &buffer, const char *text, std::size_t length)
{
    if (buffer.size + length > buffer.capacity) {
        std::size_t grown = std::max({buffer.capacity * 2, buffer.size + length, std::size_t{4096}});
        auto *moved = static_cast<char *>(std::realloc(buffer.data, grown));
        if (moved == nullptr)
            fail("Error keeping a trap in", "memory");
        buffer.data = moved;
        buffer.capacity = grown;
    }
    std::memcpy(buffer.data + buffer.size, text, length);
    buffer.size += length;
}

void add(Buffer &buffer, const char *text)
{
    add(buffer, text, std::strlen(text));
}

// Where the journal takes entries (its native protocol, systemd-journald(8)),
// and the largest field and entry it keeps: it drops larger ones without a
// word to the sender.
constexpr char JOURNAL_SOCKET[] = "/run/systemd/journal/socket";
constexpr std::size_t JOURNAL_FIELD_MAX = std::size_t{768} << 20;
constexpr std::size_t JOURNAL_ENTRY_MAX = std::size_t{770} << 20;
// The record being collected for the journal, as its MESSAGE field.
constexpr char MESSAGE[] = "MESSAGE=";
Buffer entry;

// The name snmpTrapOID.0 in each form a trap receiver's output options give
// it: with its module, bare, in full, numeric, or without any MIB loaded.
bool names_trap_oid(const char *name, std::size_t length)
{
    auto ends_with = [&](const char *tail) {
        std::size_t size = std::strlen(tail);
        return length >= size && std::memcmp(name + length - size, tail, size) == 0
               && (length == size || std::strchr(".:", name[length - size - 1]) != nullptr);
    };
    auto is = [&](const char *text) {
        return length == std::strlen(text) && std::memcmp(name, text, length) == 0;
    };
    return ends_with("snmpTrapOID.0") || is(".1.3.6.1.6.3.1.1.4.1.0")
           || is("1.3.6.1.6.3.1.1.4.1.0") || is("iso.3.6.1.6.3.1.1.4.1.0");
}

// Sends the collected record as one entry, with the fields that its text
// has. A record the journal refuses is said so on standard error and
// printed, framed, as when run by hand.
void send_entry(long number)
{
    const char *text = entry.data + sizeof MESSAGE - 1;
    const char *end = entry.data + entry.size;
    static Buffer fields;
    fields.size = 0;
    std::size_t starts[3], count = 0;
    auto field = [&](const char *name, const char *value, const char *value_end) {
        starts[count++] = fields.size;
        add(fields, name);
        add(fields, value, static_cast<std::size_t>(value_end - value));
    };
    const char *line = text;
    for (int index = 0; line < end; ++index) {
        const auto *newline = static_cast<const char *>(std::memchr(line, '\n', end - line));
        const char *line_end = newline != nullptr ? newline : end;
        if (index == 0) {
            field("TRAP_HOST=", line, line_end);
        } else if (index == 1) {
            field("TRAP_ADDRESS=", line, line_end);
        } else if (const auto *space = static_cast<const char *>(std::memchr(line, ' ', line_end - line));
                   space != nullptr && names_trap_oid(line, static_cast<std::size_t>(space - line))) {
            field("TRAP_OID=", space + 1, line_end);
            break;
        }
        line = line_end + 1;
    }
    iovec parts[6] = {{entry.data, entry.size},
                      {const_cast<char *>("PRIORITY=5"), 10},
                      {const_cast<char *>("SYSLOG_IDENTIFIER=trapsink"), 26}};
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t part_end = i + 1 < count ? starts[i + 1] : fields.size;
        parts[3 + i] = {fields.data + starts[i], part_end - starts[i]};
    }
    // What the journal would drop without a word, libsystemd too where the
    // journal's socket is missing, is found out first. A field given as
    // binary data takes 10 bytes more than its text.
    int fields_given = static_cast<int>(3 + count);
    std::size_t entry_size = 0;
    for (int i = 0; i < fields_given; ++i)
        entry_size += parts[i].iov_len + 10;
    int sent = -EMSGSIZE;
    if (entry.size <= JOURNAL_FIELD_MAX && entry_size <= JOURNAL_ENTRY_MAX)
        sent = access(JOURNAL_SOCKET, F_OK) == 0 ? sd_journal_sendv(parts, fields_given) : -errno;
    if (sent < 0) {
        std::fprintf(stderr, "trapsink: Error sending trap %ld to the journal [%s]: printed instead\n",
                     number, std::strerror(-sent));
        print_start(number);
        put(text, static_cast<std::size_t>(end - text));
        print_end(number, static_cast<long>(end - text));
    }
}

// Frames what one read delivered onto standard output, or into the journal
// (raw mode prints nothing here). Returns how many of the bytes belong to
// the first COUNT records: what comes after them is not this run's to print.
std::size_t frame(const char *data, std::size_t size)
{
    std::size_t at = 0;
    while (at < size) {
        if (!in_record && output == Output::framed) {
            print_start(records + 1);
        } else if (!in_record && output == Output::journal) {
            entry.size = 0;
            add(entry, MESSAGE);
        }
        in_record = true;
        if (line_start && data[at] == '\n') {
            ++at;
            ++records;
            if (output == Output::framed)
                print_end(records, record_bytes);
            else if (output == Output::journal)
                send_entry(records);
            record_bytes = 0;
            in_record = false;
            if (records == limit)
                return at;
            continue;
        }
        // The rest of the line, its newline included, is the record's.
        const auto *newline = static_cast<const char *>(std::memchr(data + at, '\n', size - at));
        std::size_t end = newline != nullptr ? static_cast<std::size_t>(newline - data) + 1 : size;
        if (output == Output::framed)
            put(data + at, end - at);
        else if (output == Output::journal)
            add(entry, data + at, end - at);
        record_bytes += static_cast<long>(end - at);
        line_start = newline != nullptr;
        at = end;
    }
    return size;
}

}  // namespace

int main(int argc, char **argv)
{
    const sigset_t while_waiting = catch_stop_signals();
    check_standard_descriptors();
    int ready_fd = -1;
    long mode = -1;
    long gid = -1;
    for (int opt; (opt = getopt(argc, argv, "rn:N:m:g:")) != -1;) {
        switch (opt) {
        case 'r': output = Output::raw; break;
        case 'n': limit = number(optarg, 10, LONG_MAX); break;
        case 'N': ready_fd = static_cast<int>(number(optarg, 10, INT_MAX)); break;
        case 'm': mode = number(optarg, 8, 0777); break;
        case 'g': gid = group_id(optarg); break;
        default: usage();
        }
    }
    if (output_is_journal())
        output = Output::journal;
    int fd = activated_fifo();
    if (optind + (fd < 0 ? 1 : 0) > argc || optind + 1 < argc)
        usage();
    if (optind < argc)
        fifo_name = argv[optind];
    if (fd < 0)
        fd = open_fifo(fifo_name);
    take_fifo(fd, mode, gid);
    if (ready_fd >= 0) {
        static char ready_name[32];
        std::snprintf(ready_name, sizeof ready_name, "descriptor %d", ready_fd);
        if (write(ready_fd, "\n", 1) != 1)
            fail("Error writing to", ready_name);
        close(ready_fd);
    }

    // Each read's records are printed before the next read, so that they
    // show as they arrive. A stop ends the loop once the pipe is empty.
    static char in[1 << 16];
    while (limit < 0 || records < limit) {
        ssize_t n = read(fd, in, sizeof in);
        if (n == 0) {
            std::fprintf(stderr, "trapsink: '%s' ended: nothing holds it open for writing\n",
                         fifo_name);
            return 1;
        }
        if (n < 0) {
            if (errno != EAGAIN)
                fail("Error reading");
            if (stopping)
                break;  // the pipe is empty
            pollfd wait{fd, POLLIN, 0};
            if (ppoll(&wait, 1, nullptr, &while_waiting) < 0 && errno != EINTR)
                fail("Error reading");
            continue;
        }
        std::size_t taken = frame(in, static_cast<std::size_t>(n));
        if (output == Output::raw)
            put(in, taken);
        if (std::fflush(stdout) != 0)
            fail("Error writing to", "standard output");
    }
    // A record cut short by a stop goes into the journal as far as it came.
    if (output == Output::journal && in_record)
        send_entry(records + 1);
    return 0;
}
