// Runs the real handler, or the stand-in reader, as a child process against
// the real FIFO and trace file that the test build compiles in, and collects
// everything it leaves.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

// Paths of the test build: the handler and the stand-in reader, and the pipe
// and trace file compiled into that handler (under the build tree).
extern const char *const HANDLER;
extern const char *const TRAPSINK;
extern const char *const PIPE;
extern const char *const TRACE;
extern const char *const RUN_DIR;

enum class Stdin {
    file,       // a regular file holding the input: reads of up to 8192 bytes
    pipe,       // a pipe the harness feeds in pieces while the program runs
    directory,  // a directory: the first read fails
    given,      // the descriptor in Launch::stdin_fd
    fifo,       // an empty file; the input is fed into the FIFO at PIPE instead,
                // once the program is ready (for the reader)
};

struct Launch {
    const char *program = HANDLER;
    std::vector<std::string> args;
    std::string input;
    Stdin stdin_kind = Stdin::file;
    std::vector<std::size_t> pieces;  // write sizes of the input, cycled; empty: all
    int stdin_fd = -1;                // for Stdin::given
    unsigned closed_fds = 0;          // bit n set: start with descriptor n closed
    bool ignore_sigpipe = false;
    bool use_wrapper = true;          // the handler under REDUZEZEZEV_TEST_WRAPPER if set
    std::vector<std::string> wrapper; // or under this, if not empty
    std::vector<std::string> env;     // NAME=VALUE entries, over the inherited ones
    int limit_resource = -1;          // setrlimit(RLIMIT_...) in the child, if >= 0
    rlim_t limit = 0;
    int ready_fd = -1;     // the write end of a pipe as this descriptor; starting
                           // waits until the program writes to it or ends
    int listen_fd = -1;    // given as descriptor 3 the way systemd passes a
                           // socket unit's (LISTEN_FDS=1, LISTEN_PID)
    bool unprivileged = false;  // run as nobody, where the tests run as root
    bool out_to_file = false;   // standard output a regular file, not a pipe
    bool journal = false;       // standard output a journal stream, as systemd
                                // says in JOURNAL_STREAM, and the journal's
                                // directory RUN_DIR/journal, in a mount
                                // namespace of the program's own (needs root)
    bool err_to_file = false;   // standard error a regular file, not a pipe
    bool err_is_journal = false;  // JOURNAL_STREAM names standard error, as
                                  // for a service's handler
    bool stream_elsewhere = false;  // JOURNAL_STREAM with that inode, on
                                    // another device
};

struct Outcome {
    pid_t pid = -1;
    int exit_code = -1;  // -1 when ended by a signal
    int signal = 0;
    std::string fifo;    // what the harness read from the pipe meanwhile
    std::string out;     // standard output
    std::string err;     // standard error
};

// A program that has been started and not yet waited for.
class Process {
public:
    explicit Process(const Launch &launch);
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    ~Process();

    pid_t pid() const { return pid_; }
    // Writes to its input (Stdin::pipe, or the FIFO for Stdin::fifo), waiting
    // until all is in, 10 s at most.
    void feed(std::string_view data);
    void close_input();
    // Feeds what remains of the launch's input, drains reader_fd (if >= 0)
    // while it runs, ends it with SIGTERM once its standard output holds
    // stop_at_output bytes, and waits at most 20 s for it to end (then
    // kills it, and the test fails: the handler must never hang its caller).
    Outcome finish(int reader_fd, std::size_t stop_at_output = std::string::npos);

private:
    Launch launch_;
    pid_t pid_ = -1;
    int input_fd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;   // a pipe's read end, or the file (err_to_file)
    std::size_t fed_ = 0;
};

Outcome run(const Launch &launch, int reader_fd);

// Everything that can be read from fd right now (non-blocking descriptor).
std::string drain(int fd);
// Reads from a non-blocking fd until want bytes have come or 10 s have passed.
std::string read_exactly(int fd, std::size_t want);

std::string read_file(const char *path);
void write_file(const char *path, std::string_view data);
bool exists(const char *path);
// Removes whatever is at path: file, link, FIFO or directory tree.
void remove_all(const char *path);

struct TraceLine {
    std::string timestamp;
    std::string program;
    pid_t pid;
    std::string message;
};
// Splits trace file text into lines; a message that holds line breaks runs
// on over several text lines. Fails the test on anything malformed.
std::vector<TraceLine> parse_trace(const std::string &text);
std::vector<std::string> trace_messages();  // of the trace file; empty if none

std::string random_bytes(std::size_t size, unsigned seed);

// Why /usr/bin/strace cannot be used, or nullptr: it is not installed, or
// it cannot trace (where ptrace is refused, as in a builder's sandbox or a
// run of the suite under strace itself).
const char *strace_unusable();

// The first line a shell command prints, without its line break.
std::string first_line_of(const std::string &command);

// The system's message for an error number, from the C library the handler
// is linked with (musl's words some errors differently from glibc's).
std::string error_text(int error);

}  // namespace harness
