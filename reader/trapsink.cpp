// trapsink: a stand-in for the reader of the handler's pipe.
//
// It creates the FIFO when nothing is at its path, gives it the mode and
// group it is asked for, holds it open for reading
// (and once for writing, so that it never sees end-of-file between handlers
// and handlers never find the pipe without a reader), drains it, and prints
// what arrives.
//
// Record framing: a handler writes the trap text and then one newline of its
// own, the end-of-data marker. A trap receiver's text is made of lines that
// each end in a newline, so the marker shows as an empty line: a record ends
// at the first empty line, whose newline is the marker. An empty trap is a
// record made of the marker alone. A trap whose own text holds an empty line
// is therefore split in two, and one that does not end in a newline runs on
// into the next; in raw mode (-r) the bytes are passed on untouched anyway.
//
// usage: trapsink [-r] [-n COUNT] [-N FD] [-m MODE] [-g GROUP] FIFO
//   -r        copy the stream to standard output byte for byte, no framing
//   -n COUNT  exit with status 0 after COUNT records
//   -N FD     when the FIFO is open, write a newline to FD and close it
//   -m MODE   the FIFO's permission bits, in octal (default 0600 when it is
//             created; an existing FIFO keeps its own unless -m is given)
//   -g GROUP  the FIFO's group, by name or number (default: left as it is)
// Exit status: 0 after COUNT records, 1 on a failure, 2 on a usage error.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A larger pipe lets bursts of traps in without refusals while the reader
// is busy; not all systems allow it, and nothing depends on it.
constexpr int PIPE_CAPACITY = 1 << 20;

[[noreturn]] void fail(const char *what, const char *path)
{
    std::fprintf(stderr, "trapsink: %s '%s' [%s]\n", what, path,
                 std::strerror(errno));
    std::exit(1);
}

[[noreturn]] void usage()
{
    std::fputs("usage: trapsink [-r] [-n COUNT] [-N FD] [-m MODE] [-g GROUP] FIFO\n", stderr);
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

gid_t group_id(const char *name)
{
    if (const group *g = getgrnam(name))
        return g->gr_gid;
    if (*name >= '0' && *name <= '9')
        return static_cast<gid_t>(number(name, 10, 0x7fffffff));
    std::fprintf(stderr, "trapsink: no group '%s'\n", name);
    std::exit(2);
}

const char *file_kind(mode_t mode)
{
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    return "something else";
}

void write_out(const char *data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(STDOUT_FILENO, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("Error writing", "stdout");
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// mode < 0 and gid < 0: not asked for.
int open_fifo(const char *path, long mode, long gid)
{
    bool created = mkfifo(path, 0600) == 0;
    if (!created && errno != EEXIST)
        fail("Error creating FIFO", path);
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        fail("Error opening FIFO", path);
    struct stat st;
    if (fstat(fd, &st) != 0)
        fail("Error opening FIFO", path);
    if (!S_ISFIFO(st.st_mode)) {
        std::fprintf(stderr, "trapsink: '%s' is %s, not a FIFO: remove it or name another path\n",
                     path, file_kind(st.st_mode));
        std::exit(1);
    }
    // Set on the open FIFO, whether made now or found: mkfifo's mode is cut
    // by the umask, and a FIFO left by an earlier reader may have others.
    if (gid >= 0 && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0)
        fail("Error setting the group of FIFO", path);
    if (mode >= 0 && fchmod(fd, static_cast<mode_t>(mode)) != 0)
        fail("Error setting the mode of FIFO", path);
    // The write end held here keeps the pipe from reaching end-of-file when
    // the last handler closes it; reads then wait for the next one.
    if (open(path, O_WRONLY | O_NONBLOCK) < 0)
        fail("Error opening FIFO for writing", path);
    fcntl(fd, F_SETFL, 0);
    fcntl(fd, F_SETPIPE_SZ, PIPE_CAPACITY);
    return fd;
}

}  // namespace

int main(int argc, char **argv)
{
    bool raw = false;
    long limit = -1;
    int ready_fd = -1;
    long mode = -1;
    long gid = -1;
    for (int opt; (opt = getopt(argc, argv, "rn:N:m:g:")) != -1;) {
        switch (opt) {
        case 'r': raw = true; break;
        case 'n': limit = number(optarg, 10, 0x7fffffffffffffff); break;
        case 'N': ready_fd = static_cast<int>(number(optarg, 10, 0x7fffffff)); break;
        case 'm': mode = number(optarg, 8, 0777); break;
        case 'g': gid = group_id(optarg); break;
        default: usage();
        }
    }
    if (optind + 1 != argc)
        usage();
    const char *path = argv[optind];

    int fd = open_fifo(path, mode, gid);
    if (ready_fd >= 0) {
        (void)!write(ready_fd, "\n", 1);
        close(ready_fd);
    }

    static char in[1 << 16];
    static char out[2 * sizeof in];
    long records = 0;
    long record_bytes = 0;
    bool line_start = true;  // the next byte starts a line of the record
    bool in_record = false;  // a record's header has been printed
    while (limit < 0 || records < limit) {
        ssize_t n = read(fd, in, sizeof in);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("Error reading", path);
        }
        if (raw)
            write_out(in, static_cast<std::size_t>(n));
        std::size_t used = 0;
        for (ssize_t i = 0; i < n && (limit < 0 || records < limit); ++i) {
            char c = in[i];
            bool eod = c == '\n' && line_start;
            if (!raw && !in_record)
                used += static_cast<std::size_t>(std::snprintf(
                    out + used, sizeof out - used, "=== trap %ld ===\n",
                    records + 1));
            in_record = !eod;
            if (eod) {
                ++records;
                if (!raw)
                    used += static_cast<std::size_t>(std::snprintf(
                        out + used, sizeof out - used,
                        "=== end of trap %ld: %ld bytes ===\n", records,
                        record_bytes));
                record_bytes = 0;
                line_start = true;
                continue;
            }
            if (!raw)
                out[used++] = c;
            ++record_bytes;
            line_start = c == '\n';
            if (used > sizeof out - 128) {
                write_out(out, used);
                used = 0;
            }
        }
        write_out(out, used);
    }
    return 0;
}
