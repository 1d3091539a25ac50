#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <poll.h>
#include <signal.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <utility>

extern char **environ;

namespace harness {

// A test run may name another build of the same handler (memcheck does).
const char *const HANDLER = std::getenv("REDUZEZEZEV_TEST_HANDLER") != nullptr
                                ? std::getenv("REDUZEZEZEV_TEST_HANDLER")
                                : TEST_HANDLER;
const char *const TRAPSINK = TEST_TRAPSINK;
const char *const PIPE = TEST_PIPE;
const char *const TRACE = TEST_TRACE;
const char *const RUN_DIR = TEST_RUN_DIR;
const char *const ERROR_TEXT = TEST_ERROR_TEXT;

namespace {

// The tests write into pipes whose readers may be gone; that must show up as
// EPIPE, not end the test program. Children get the default back.
const bool sigpipe_ignored = [] {
    signal(SIGPIPE, SIG_IGN);
    return true;
}();

// At most this much input is on its way through the handler at a time:
// well below what the pipe holds.
constexpr std::size_t PACING_WINDOW = 16384;

void set_nonblocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A regular file under the run directory, holding data, already unlinked.
int scratch_file(const std::string &data, int flags)
{
    static int serial = 0;
    std::string path = std::string(RUN_DIR) + "/scratch." + std::to_string(getpid())
                       + "." + std::to_string(++serial);
    write_file(path.c_str(), data);
    int fd = open(path.c_str(), flags | O_CLOEXEC);
    unlink(path.c_str());
    return fd;
}

std::vector<std::string> split_words(const char *text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// In the child: /run/systemd/journal is RUN_DIR/journal, in a mount
// namespace of its own.
bool use_test_journal()
{
    std::string journal = std::string(RUN_DIR) + "/journal";
    return unshare(CLONE_NEWNS) == 0
           && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
           && mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") == 0
           && mkdir("/run/systemd", 0755) == 0 && mkdir("/run/systemd/journal", 0755) == 0
           && mount(journal.c_str(), "/run/systemd/journal", nullptr, MS_BIND, nullptr) == 0;
}

// In the child: drops to nobody where the tests run as root. The program
// is opened first, so that nobody need not reach the build tree.
int drop_privileges(const char *program)
{
    int exe = open(program, O_RDONLY | O_CLOEXEC);
    if (getuid() == 0) {
        constexpr uid_t NOBODY = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0)
            _exit(126);
    }
    return exe;
}

}  // namespace

Process::Process(const Launch &launch) : launch_(launch)
{
    (void)sigpipe_ignored;
    int child_in = -1;
    switch (launch.stdin_kind) {
    case Stdin::file:
        child_in = scratch_file(launch.input, O_RDONLY);
        break;
    case Stdin::fifo:
        child_in = scratch_file("", O_RDONLY);
        break;
    case Stdin::pipe: {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        child_in = fds[0];
        input_fd_ = fds[1];
        break;
    }
    case Stdin::directory:
        child_in = open(RUN_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        break;
    case Stdin::given:
        child_in = launch.stdin_fd;
        break;
    }
    int out[2], err[2], ready[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0
        || (launch.ready_fd >= 0 && pipe2(ready, O_CLOEXEC) != 0))
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    // Standard output or error a regular file instead of a pipe: read from
    // its start once the program has ended.
    for (auto [ends, to_file] : {std::pair{out, launch.out_to_file}, {err, launch.err_to_file}}) {
        if (to_file) {
            close(ends[0]);
            close(ends[1]);
            ends[0] = -1;
            ends[1] = scratch_file("", O_RDWR);
        } else {
            set_nonblocking(ends[0]);
        }
    }
    out_fd_ = out[0];
    err_fd_ = err[0];

    std::vector<std::string> words = launch.wrapper;
    if (const char *wrapper = std::getenv("REDUZEZEZEV_TEST_WRAPPER");
        wrapper != nullptr && launch.use_wrapper && words.empty() && launch.program == HANDLER)
        words = split_words(wrapper);
    words.emplace_back(launch.program);
    words.insert(words.end(), launch.args.begin(), launch.args.end());
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    // The launch's own entries come first: getenv takes the first match, so
    // they win over what the test inherited. LISTEN_PID is the child's own
    // pid, known only after the fork: its entry is filled in there.
    std::vector<std::string> env_text = launch.env;
    if (struct stat st; (launch.journal || launch.err_is_journal)
                        && fstat(launch.journal ? out[1] : err[1], &st) == 0)
        env_text.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev + launch.stream_elsewhere) + ":"
                           + std::to_string(st.st_ino));
    if (launch.listen_fd >= 0)
        env_text.insert(env_text.end(), {"LISTEN_FDS=1", "LISTEN_PID=" + std::string(12, ' ')});
    std::vector<char *> envp;
    for (auto &entry : env_text)
        envp.push_back(entry.data());
    for (char **e = environ; *e != nullptr; ++e)
        envp.push_back(*e);
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        umask(022);
        signal(SIGPIPE, launch.ignore_sigpipe ? SIG_IGN : SIG_DFL);
        dup2(child_in, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (launch.listen_fd >= 0) {
            // Descriptor 3 kept open across the exec, whatever number the
            // test held it under (dup2 onto itself keeps close-on-exec).
            dup2(launch.listen_fd, 3);
            fcntl(3, F_SETFD, 0);
            std::snprintf(env_text.back().data() + std::strlen("LISTEN_PID="), 12, "%d", getpid());
        }
        if (launch.ready_fd >= 0)
            dup2(ready[1], launch.ready_fd);
        // Whatever the test runner left open (ctest does) is not the
        // program's: it starts with the standard three and what the launch
        // gives it only.
        close_range(std::max({3, launch.listen_fd >= 0 ? 4 : 0, launch.ready_fd + 1}), ~0u, 0);
        for (int fd = 0; fd < 3; ++fd)
            if (launch.closed_fds & (1u << fd))
                close(fd);
        if (launch.limit_resource >= 0) {
            rlimit limit{launch.limit, launch.limit};
            setrlimit(static_cast<__rlimit_resource>(launch.limit_resource), &limit);
        }
        if (launch.journal && !use_test_journal())
            _exit(125);
        if (launch.unprivileged)
            fexecve(drop_privileges(argv[0]), argv.data(), envp.data());
        else
            execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (pid_ < 0)
        ADD_FAILURE() << "fork: " << std::strerror(errno);
    if (launch.out_to_file)
        out_fd_ = out[1];
    else
        close(out[1]);
    if (launch.err_to_file)
        err_fd_ = err[1];
    else
        close(err[1]);
    if (launch.stdin_kind != Stdin::given)
        close(child_in);
    if (launch.ready_fd >= 0) {
        close(ready[1]);
        char byte;
        (void)!read(ready[0], &byte, 1);  // a byte when ready, end of file if it ended
        close(ready[0]);
    }
    if (launch.stdin_kind == Stdin::fifo)
        input_fd_ = open(PIPE, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

Process::~Process()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {input_fd_, out_fd_, err_fd_})
        if (fd >= 0)
            close(fd);
}

void Process::feed(std::string_view data)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!data.empty()) {
        ssize_t n = write(input_fd_, data.data(), data.size());
        if (n < 0 && errno == EAGAIN && std::chrono::steady_clock::now() < deadline) {
            poll(nullptr, 0, 1);
            continue;
        }
        if (n < 0) {
            ADD_FAILURE() << "feeding " << launch_.program << ": " << std::strerror(errno);
            return;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Process::close_input()
{
    if (input_fd_ >= 0)
        close(input_fd_);
    input_fd_ = -1;
}

Outcome Process::finish(int reader_fd, std::size_t stop_at_output)
{
    Outcome outcome;
    outcome.pid = pid_;
    if (input_fd_ >= 0)
        set_nonblocking(input_fd_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::size_t piece = 0;
    bool stopped = false;
    for (;;) {
        const std::string &input = launch_.input;
        while (input_fd_ >= 0 && fed_ < input.size()) {
            std::size_t size = input.size() - fed_;
            if (!launch_.pieces.empty())
                size = std::min(size, launch_.pieces[piece % launch_.pieces.size()]);
            // The handler never waits for a full pipe, so the producer is paced
            // to what the reader has taken: the reader keeps up by design.
            if (reader_fd >= 0) {
                std::size_t in_flight = fed_ - std::min(fed_, outcome.fifo.size());
                if (in_flight >= PACING_WINDOW)
                    break;
                size = std::min(size, PACING_WINDOW - in_flight);
            }
            ssize_t n = write(input_fd_, input.data() + fed_, size);
            if (n < 0) {
                if (errno != EAGAIN)
                    close_input();  // the program is gone
                break;
            }
            fed_ += static_cast<std::size_t>(n);
            if (static_cast<std::size_t>(n) == size)
                ++piece;
        }
        if (input_fd_ >= 0 && fed_ == input.size())
            close_input();
        if (reader_fd >= 0)
            outcome.fifo += drain(reader_fd);
        if (!launch_.out_to_file)
            outcome.out += drain(out_fd_);
        if (!launch_.err_to_file)
            outcome.err += drain(err_fd_);
        if (outcome.out.size() >= stop_at_output && !stopped) {
            kill(pid_, SIGTERM);
            stopped = true;
        }

        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            if (reader_fd >= 0)
                outcome.fifo += drain(reader_fd);
            if (launch_.out_to_file)
                lseek(out_fd_, 0, SEEK_SET);
            if (launch_.err_to_file)
                lseek(err_fd_, 0, SEEK_SET);
            outcome.out += drain(out_fd_);
            outcome.err += drain(err_fd_);
            if (WIFEXITED(status))
                outcome.exit_code = WEXITSTATUS(status);
            else if (WIFSIGNALED(status))
                outcome.signal = WTERMSIG(status);
            return outcome;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << launch_.program << " did not end within 20 s";
            return outcome;
        }
        pollfd fds[] = {{reader_fd, POLLIN, 0}, {out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        poll(fds, 3, 1);
    }
}

Outcome run(const Launch &launch, int reader_fd)
{
    Process process(launch);
    return process.finish(reader_fd);
}

std::string drain(int fd)
{
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string read_exactly(int fd, std::size_t want)
{
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (text.size() < want && std::chrono::steady_clock::now() < deadline) {
        char buffer[4096];
        ssize_t n = read(fd, buffer, std::min(sizeof buffer, want - text.size()));
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        else
            poll(nullptr, 0, 1);
    }
    return text;
}

std::string read_file(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

void write_file(const char *path, std::string_view data)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
}

bool exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

void remove_all(const char *path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::vector<TraceLine> parse_trace(const std::string &text)
{
    static const std::regex prefix(R"(^(\d{8}\.\d{6}) \(([^ ]+)-(\d+)\): )");
    std::vector<TraceLine> lines;
    if (text.empty())
        return lines;
    EXPECT_EQ(text.back(), '\n') << "the trace does not end with a line break";
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        std::smatch m;
        if (std::regex_search(line, m, prefix)) {
            lines.push_back({m[1], m[2], static_cast<pid_t>(std::stol(m[3])),
                             m.suffix()});
        } else if (lines.empty()) {
            ADD_FAILURE() << "trace starts without a prefix: " << line;
        } else {
            lines.back().message += "\n" + line;
        }
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> trace_messages()
{
    std::vector<std::string> messages;
    for (const auto &line : parse_trace(read_file(TRACE)))
        messages.push_back(line.message);
    return messages;
}

const char *strace_unusable()
{
    static const char *const why = [] {
        if (!exists("/usr/bin/strace"))
            return "strace is not installed";
        return std::system("/usr/bin/strace -qq -o /dev/null /bin/true 2>/dev/null") == 0
                   ? nullptr
                   : "strace is installed but cannot trace here";
    }();
    return why;
}

std::string first_line_of(const std::string &command)
{
    std::string text;
    if (FILE *out = popen(command.c_str(), "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, out) != nullptr)
            text.assign(line, std::strcspn(line, "\n"));
        pclose(out);
    }
    EXPECT_FALSE(text.empty()) << command << " printed nothing";
    return text;
}

std::string error_text(int error)
{
    static std::map<int, std::string> known;
    if (auto found = known.find(error); found != known.end())
        return found->second;
    return known[error] = first_line_of(std::string(ERROR_TEXT) + " " + std::to_string(error));
}

std::string random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto &byte : bytes)
        byte = static_cast<char>(random() & 0xff);
    return bytes;
}

}  // namespace harness
