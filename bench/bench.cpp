// Measures what one trap costs the host: the handler side by side with the
// floor (a minimal static C relay) and cat, each writing one small trap into
// the same private FIFO, which this program holds open and drains.
//
//   user-space instructions  valgrind --tool=callgrind, deterministic
//   system calls             strace, execve to exit
//   spawn-to-exit latency    posix_spawn to waitpid, runs interleaved, median
//   peak resident memory     VmHWM at exit, 1 byte and 64 MiB streamed
//
// usage: relay-bench [ROUNDS]   (default 400 spawns of each program)

#include <fcntl.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

const char HANDLER[] = BENCH_HANDLER;
const char FLOOR[] = BENCH_FLOOR;
const char FLOOR_PIE[] = BENCH_FLOOR_PIE;
const char PIPE[] = BENCH_PIPE;
const std::string RUN_DIR = BENCH_RUN_DIR;
const std::string TRAP = RUN_DIR + "/bench-trap.txt";
const std::string ONE_BYTE = RUN_DIR + "/bench-one-byte.txt";

// Every program runs with the same small, fixed environment, so that the
// counts do not depend on the caller's (glibc's start-up reads all of it).
char env_path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
char *clean_env[] = {env_path, nullptr};

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "relay-bench: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

struct Program {
    const char *label;
    std::vector<std::string> argv;
    bool stdout_to_pipe;  // cat writes the trap to its standard output
};

int reader_fd = -1;

void drain()
{
    static char buffer[1 << 16];
    while (read(reader_fd, buffer, sizeof buffer) > 0) {
    }
}

// Starts prefix + program with standard input from input_path
// and, for cat, standard output on the FIFO; stderr_path receives stderr.
pid_t spawn(const std::vector<std::string> &prefix, const Program &program,
            const std::string &input_path, const char *stderr_path, char **env = clean_env)
{
    std::vector<std::string> words = prefix;
    words.insert(words.end(), program.argv.begin(), program.argv.end());
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input_path.c_str(), O_RDONLY, 0);
    if (program.stdout_to_pipe)
        posix_spawn_file_actions_addopen(&actions, 1, PIPE, O_WRONLY | O_NONBLOCK, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path, O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid;
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        die(argv[0]);
    }
    return pid;
}

int wait_for(pid_t pid)
{
    int status;
    if (waitpid(pid, &status, 0) != pid)
        die("waitpid");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string slurp(const std::string &path)
{
    std::string text;
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

void check_status(const Program &program, int status)
{
    if (status != 0) {
        std::fprintf(stderr, "relay-bench: %s exited with status %d\n", program.label, status);
        std::exit(1);
    }
}

long instructions(const Program &program, char **env)
{
    std::string log = RUN_DIR + "/bench-callgrind.log";
    pid_t pid = spawn({"/usr/bin/valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"},
                      program, TRAP, log.c_str(), env);
    check_status(program, wait_for(pid));
    drain();
    std::string text = slurp(log);
    size_t at = text.find("Collected : ");
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + 12);
}

long system_calls(const Program &program)
{
    std::string trace = RUN_DIR + "/bench-strace.txt";
    std::string log = RUN_DIR + "/bench-strace.log";
    pid_t pid = spawn({"/usr/bin/strace", "-qq", "-o", trace}, program, TRAP, log.c_str());
    check_status(program, wait_for(pid));
    drain();
    std::string text = slurp(trace);
    return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Spawn-to-exit times in microseconds, the programs taking turns so that
// whatever else the machine does weighs on all of them alike.
std::vector<double> latencies(const std::vector<Program> &programs, int rounds)
{
    std::vector<std::vector<double>> times(programs.size());
    for (int round = -rounds / 10; round < rounds; ++round) {  // a few to warm up
        for (size_t i = 0; i < programs.size(); ++i) {
            auto start = std::chrono::steady_clock::now();
            pid_t pid = spawn({}, programs[i], TRAP, "/dev/null");
            int status = wait_for(pid);
            auto end = std::chrono::steady_clock::now();
            drain();
            check_status(programs[i], status);
            if (round >= 0)
                times[i].push_back(std::chrono::duration<double, std::micro>(end - start).count());
        }
    }
    std::vector<double> medians;
    for (auto &t : times)
        medians.push_back(median(t));
    return medians;
}

// The peak resident memory of the program's own image, read at its exit.
// wait4's ru_maxrss would not do: it keeps the spawning process's figure
// from before the exec. The child is traced, stopped on its way out, and its VmHWM read.
long traced_peak_kib(const Program &program, int input_fd)
{
    std::vector<char *> argv;
    for (const auto &word : program.argv)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(input_fd, 0);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execve(argv[0], argv.data(), clean_env);
        _exit(127);
    }
    if (pid < 0)
        die("fork");
    long peak = -1;
    int status;
    while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
        int signal = WSTOPSIG(status);
        if (signal == SIGTRAP && (status >> 16) == 0) {  // stopped after the exec
            ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
            signal = 0;
        } else if (signal == SIGTRAP && (status >> 16) == PTRACE_EVENT_EXIT) {
            std::string text = slurp("/proc/" + std::to_string(pid) + "/status");
            size_t at = text.find("VmHWM:");
            if (at != std::string::npos)
                peak = std::atol(text.c_str() + at + 6);
            signal = 0;
        }
        ptrace(PTRACE_CONT, pid, nullptr, signal);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "relay-bench: %s failed under the memory probe\n", program.label);
        std::exit(1);
    }
    return peak;
}

long peak_rss_one_byte(const Program &program)
{
    int fd = open(ONE_BYTE.c_str(), O_RDONLY | O_CLOEXEC);
    long peak = traced_peak_kib(program, fd);
    close(fd);
    drain();
    return peak;
}

// 64 MiB through the program, from a producer that never gets more than a
// little ahead of the reader, so that the non-blocking writes are never
// refused: the figure is what streaming costs, not what a burst costs.
long peak_rss_streamed(const Program &program, size_t total)
{
    int input[2];
    if (pipe2(input, O_CLOEXEC) != 0)
        die("pipe2");
    std::atomic<size_t> consumed{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        static char buffer[1 << 16];
        while (!done) {
            ssize_t n = read(reader_fd, buffer, sizeof buffer);
            if (n > 0)
                consumed += static_cast<size_t>(n);
            else
                std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    std::thread producer([&] {
        static char block[1 << 14];
        std::memset(block, 't', sizeof block);
        size_t produced = 0;
        while (produced < total) {
            if (produced - consumed > (1u << 16)) {
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                continue;
            }
            ssize_t n = write(input[1], block, std::min(sizeof block, total - produced));
            if (n <= 0)
                break;
            produced += static_cast<size_t>(n);
        }
        close(input[1]);
    });
    long peak = traced_peak_kib(program, input[0]);
    close(input[0]);
    producer.join();
    while (consumed < total + 1)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    done = true;
    reader.join();
    return peak;
}

void write_file(const std::string &path, const std::string &text)
{
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size())
        die(path.c_str());
    std::fclose(f);
}

}  // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 400;

    // A realistic trap text of about 200 bytes.
    write_file(TRAP,
               "edge-router-3.example.net\n"
               "UDP: [192.0.2.17]:50412->[192.0.2.1]:162\n"
               "DISMAN-EVENT-MIB::sysUpTimeInstance 12:3:41:07.22\n"
               "SNMPv2-MIB::snmpTrapOID.0 IF-MIB::linkDown\n"
               "IF-MIB::ifIndex.12 12\n"
               "IF-MIB::ifOperStatus.12 down\n");
    write_file(ONE_BYTE, "x");

    unlink(PIPE);
    if (mkfifo(PIPE, 0600) != 0)
        die(PIPE);
    reader_fd = open(PIPE, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader_fd < 0 || open(PIPE, O_WRONLY | O_NONBLOCK | O_CLOEXEC) < 0)
        die(PIPE);
    fcntl(reader_fd, F_SETPIPE_SZ, 1 << 20);

    std::vector<Program> programs = {
        {"handler", {HANDLER}, false},
        {"floor", {FLOOR}, false},
        {"cat", {"/bin/cat"}, true},
    };
    long ins[3], ins_caller[3], calls[3], rss_small[2], rss_large[2];
    for (int i = 0; i < 3; ++i) {
        ins[i] = instructions(programs[i], clean_env);
        ins_caller[i] = instructions(programs[i], environ);
        calls[i] = system_calls(programs[i]);
    }
    long floor_pie = instructions({"floor as static PIE", {FLOOR_PIE}, false}, clean_env);
    int caller_vars = 0;
    while (environ[caller_vars] != nullptr)
        ++caller_vars;
    for (int i = 0; i < 2; ++i) {
        rss_small[i] = peak_rss_one_byte(programs[i]);
        rss_large[i] = peak_rss_streamed(programs[i], size_t{64} << 20);
    }
    std::vector<double> lat = latencies(programs, rounds);
    unlink(PIPE);

    auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    std::printf("One trap of %zu bytes, level 0, a reader holding the FIFO; %d spawns of each.\n\n",
                slurp(TRAP).size(), rounds);
    std::printf("%-34s %11s %11s %11s %14s %12s  %s\n", "", "handler", "floor", "cat",
                "handler/floor", "handler/cat", "goal");
    double ins_ratio = static_cast<double>(ins[0]) / static_cast<double>(ins[1]);
    std::printf("%-34s %11ld %11ld %11ld %14.2f %12.2f  <= 1.5 x floor: %s\n",
                "user-space instructions", ins[0], ins[1], ins[2], ins_ratio,
                static_cast<double>(ins[0]) / static_cast<double>(ins[2]),
                verdict(ins_ratio <= 1.5));
    double caller_ratio = static_cast<double>(ins_caller[0]) / static_cast<double>(ins_caller[1]);
    std::printf("%-34s %11ld %11ld %11ld %14.2f %12.2f  <= 1.5 x floor: %s\n",
                ("  the same, caller's " + std::to_string(caller_vars) + " variables").c_str(),
                ins_caller[0], ins_caller[1], ins_caller[2], caller_ratio,
                static_cast<double>(ins_caller[0]) / static_cast<double>(ins_caller[2]),
                verdict(caller_ratio <= 1.5));
    std::printf("%-34s %11ld %11ld %11ld %+14ld %12s  <= floor + 3: %s\n",
                "system calls, execve to exit", calls[0], calls[1], calls[2],
                calls[0] - calls[1], "", verdict(calls[0] - calls[1] <= 3));
    std::printf("%-34s %11.0f %11.0f %11.0f %14.2f %12.2f  <= 1.15 x floor, <= 0.7 x cat: %s\n",
                "spawn-to-exit median (us)", lat[0], lat[1], lat[2], lat[0] / lat[1],
                lat[0] / lat[2], verdict(lat[0] <= 1.15 * lat[1] && lat[0] <= 0.7 * lat[2]));
    std::printf("%-34s %11ld %11ld\n", "peak RSS, 1 byte (KiB)", rss_small[0], rss_small[1]);
    std::printf("%-34s %11ld %11ld %11s %14s %12s  within 256 KiB of 1 byte: %s\n",
                "peak RSS, 64 MiB streamed (KiB)", rss_large[0], rss_large[1], "", "", "",
                verdict(rss_large[0] - rss_small[0] <= 256));
    std::printf("\nEvery program runs with one environment variable (PATH), but on the second line.\n"
                "The floor linked as a static PIE, as the handler is, executes %ld instructions:\n"
                "the handler is %.2f times that; the rest of the gap is relocating glibc's own data.\n",
                floor_pie, static_cast<double>(ins[0]) / static_cast<double>(floor_pie));
    return 0;
}
