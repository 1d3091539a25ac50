// trapsink: a stand-in for the reader of the handler's pipe.
//
// It creates the FIFO when nothing is at its path, holds it open for reading
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
// usage: trapsink [-r] [-n COUNT] [-N FD] FIFO
//   -r        copy the stream to standard output byte for byte, no framing
//   -n COUNT  exit with status 0 after COUNT records
//   -N FD     when the FIFO is open, write a newline to FD and close it
// Exit status: 0 after COUNT records, 1 on a failure, 2 on a usage error.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
    std::fputs("usage: trapsink [-r] [-n COUNT] [-N FD] FIFO\n", stderr);
    std::exit(2);
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

int open_fifo(const char *path)
{
    if (mkfifo(path, 0600) != 0 && errno != EEXIST)
        fail("Error creating FIFO", path);
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        fail("Error opening FIFO", path);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        errno = ENOTSUP;
        fail("Not a FIFO:", path);
    }
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
    for (int opt; (opt = getopt(argc, argv, "rn:N:")) != -1;) {
        switch (opt) {
        case 'r': raw = true; break;
        case 'n': limit = std::strtol(optarg, nullptr, 10); break;
        case 'N': ready_fd = static_cast<int>(std::strtol(optarg, nullptr, 10)); break;
        default: usage();
        }
    }
    if (optind + 1 != argc)
        usage();
    const char *path = argv[optind];

    int fd = open_fifo(path);
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
