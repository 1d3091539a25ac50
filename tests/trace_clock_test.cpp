// The trace log when local time cannot be had. The clock cannot be moved
// from outside the process, so the test program is linked with time()
// wrapped (-Wl,--wrap=time) and hands the trace log instants that no
// calendar year can hold: the line must still be written, with a placeholder
// of the stamp's usual width, also as the first line a process writes.

#include "fixture.h"
#include "trace.h"

#include <sys/wait.h>

#include <ctime>
#include <limits>

namespace {
std::time_t fake_now = 0;  // 0: the real clock
}  // namespace

extern "C" std::time_t __real_time(std::time_t *);
extern "C" std::time_t __wrap_time(std::time_t *out)
{
    if (fake_now == 0)
        return __real_time(out);
    if (out != nullptr)
        *out = fake_now;
    return fake_now;
}

namespace {

constexpr std::time_t ORDINARY = 1'765'000'000;
constexpr std::time_t BEYOND = std::numeric_limits<std::time_t>::max();

// Leaves stale bytes on the stack where the trace log's frames will lie, so
// that a time stamp left without its terminating zero shows.
[[gnu::noinline]] void dirty_stack()
{
    volatile char junk[16384];
    for (auto &byte : junk)
        byte = 'U';
}

}  // namespace

struct ClockCase {
    const char *name;
    std::vector<std::time_t> instants;  // one line each, in a fresh process
};

class TraceClock : public testing::TestWithParam<ClockCase> {};

TEST_P(TraceClock, PlaceholderWhenLocalTimeFails)
{
    const ClockCase &c = GetParam();
    std::string path = std::string(harness::RUN_DIR) + "/clock.trc";
    unlink(path.c_str());
    pid_t pid = fork();
    if (pid == 0) {
        trace_configure("reduzezezev", path.c_str(), TRACE_PROGRESS);
        dirty_stack();
        for (std::size_t line = 0; line < c.instants.size(); ++line) {
            fake_now = c.instants[line];
            trace_write(TRACE_PROGRESS, "line %zu", line);
        }
        _exit(0);
    }
    ASSERT_GT(pid, 0);
    waitpid(pid, nullptr, 0);

    std::string text = harness::read_file(path.c_str());
    auto lines = harness::parse_trace(text);
    ASSERT_EQ(lines.size(), c.instants.size()) << text;
    for (std::size_t line = 0; line < lines.size(); ++line) {
        EXPECT_EQ(lines[line].timestamp == "00000000.000000", c.instants[line] == BEYOND) << text;
        EXPECT_EQ(lines[line].program, "reduzezezev");
        EXPECT_EQ(lines[line].pid, pid);
        EXPECT_EQ(lines[line].message, "line " + std::to_string(line));
    }
    unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Instants, TraceClock,
    testing::Values(ClockCase{"AfterAnOrdinaryLine", {ORDINARY, BEYOND}},
                    ClockCase{"FirstLineOfAProcess", {BEYOND, ORDINARY}}),
    testing::PrintToStringParamName());
