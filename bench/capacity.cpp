// How many traps the pipe takes while its reader is not reading: the real
// handler is run again and again on a trap of a fixed size, into a FIFO that
// this program holds open but does not read, until a run is refused. Then
// the pipe is read out to see what the refused run left in it.
//
// The kernel puts a write into the last page of the pipe only if it fits in
// what is left there; otherwise it takes fresh pages. So the capacity in
// traps depends on the trap's size, not just on the pipe's size in bytes.
//
// usage: capacity   (prints a table; takes some seconds)

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char **environ;

namespace {

const char HANDLER[] = BENCH_HANDLER;
const char PIPE[] = BENCH_PIPE;
const std::string TRAP = std::string(BENCH_RUN_DIR) + "/capacity-trap.txt";

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "capacity: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// A trap receiver's text: lines of up to 72 characters, each ending in a
// newline, size bytes in all.
void write_trap(std::size_t size)
{
    std::string text;
    while (text.size() < size) {
        std::size_t line = std::min<std::size_t>(72, size - text.size());
        text.append(line - 1, static_cast<char>('a' + text.size() % 26));
        text += '\n';
    }
    int fd = open(TRAP.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        die(TRAP.c_str());
    close(fd);
}

// One handler run at level 0; its exit status.
int run_handler()
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, TRAP.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char *argv[] = {const_cast<char *>(HANDLER), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, HANDLER, &actions, nullptr, argv, environ) != 0)
        die("posix_spawn");
    posix_spawn_file_actions_destroy(&actions);
    int status;
    if (waitpid(pid, &status, 0) != pid)
        die("waitpid");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Fill {
    long traps = 0;          // handed over whole before the first refusal
    std::size_t left = 0;    // bytes of the refused trap left in the pipe
};

// Fills a pipe of the given size (0: the system's default) with traps of
// trap_size bytes until a handler is refused.
Fill fill(int pipe_size, std::size_t trap_size, int *actual_size)
{
    unlink(PIPE);
    if (mkfifo(PIPE, 0600) != 0)
        die(PIPE);
    int reader = open(PIPE, O_RDONLY | O_NONBLOCK);
    if (reader < 0)
        die(PIPE);
    if (pipe_size > 0 && fcntl(reader, F_SETPIPE_SZ, pipe_size) < 0)
        die("F_SETPIPE_SZ");
    *actual_size = fcntl(reader, F_GETPIPE_SZ);
    write_trap(trap_size);

    Fill result;
    while (run_handler() == 0)
        ++result.traps;
    std::size_t total = 0;
    static char buffer[1 << 16];
    for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;)
        total += static_cast<std::size_t>(n);
    result.left = total - static_cast<std::size_t>(result.traps) * (trap_size + 1);
    close(reader);
    unlink(PIPE);
    return result;
}

std::string describe(const Fill &f, std::size_t trap_size)
{
    if (f.left == 0)
        return "refused whole";
    if (f.left == trap_size)
        return "data in, marker refused";
    return "cut: " + std::to_string(f.left) + " of " + std::to_string(trap_size) + " bytes in";
}

}  // namespace

int main()
{
    const std::size_t sizes[] = {200, 1000, 2000, 2300, 3000, 4000, 4095, 5000, 8192, 10000};
    const int pipes[] = {0, 1 << 20};
    int actual[2] = {0, 0};
    Fill results[sizeof sizes / sizeof *sizes][2];
    for (std::size_t i = 0; i < sizeof sizes / sizeof *sizes; ++i)
        for (int p = 0; p < 2; ++p)
            results[i][p] = fill(pipes[p], sizes[i], &actual[p]);

    std::printf("Traps a pipe takes while its reader does not read, by trap size\n"
                "(the handler at level 0, one trap after another, until one is refused).\n\n");
    std::printf("%10s  %-44s  %s\n", "trap bytes",
                (std::to_string(actual[0] / 1024) + " KiB pipe (the default)").c_str(),
                (std::to_string(actual[1] / 1024) + " KiB pipe (as trapsink sets it)").c_str());
    for (std::size_t i = 0; i < sizeof sizes / sizeof *sizes; ++i) {
        std::string cells[2];
        for (int p = 0; p < 2; ++p)
            cells[p] = std::to_string(results[i][p].traps) + " traps; next "
                       + describe(results[i][p], sizes[i]);
        std::printf("%10zu  %-44s  %s\n", sizes[i], cells[0].c_str(), cells[1].c_str());
    }
    return 0;
}
