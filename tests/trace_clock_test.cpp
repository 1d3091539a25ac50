// The trace log when local time cannot be had. The clock cannot be moved
// from outside the process, so this test links the trace log with time()
// wrapped (-Wl,--wrap=time) and hands it an instant that no calendar year
// can hold: the line must still be written, with a placeholder of the
// stamp's usual width.

#include "trace.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <limits>
#include <regex>
#include <string>

namespace {
std::time_t fake_now = 0;
}  // namespace

extern "C" std::time_t __real_time(std::time_t *);
extern "C" std::time_t __wrap_time(std::time_t *out)
{
    if (out != nullptr)
        *out = fake_now;
    return fake_now;
}

namespace {

std::string read_all(const std::string &path)
{
    std::string text;
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

}  // namespace

TEST(TraceClock, PlaceholderWhenLocalTimeFails)
{
    std::string path = std::string(TEST_RUN_DIR) + "/clock.trc";
    unlink(path.c_str());
    trace_configure("reduzezezev", path.c_str(), TRACE_PROGRESS);

    fake_now = 1'765'000'000;  // an ordinary instant first
    trace_write(TRACE_PROGRESS, "ordinary %d", 1);
    fake_now = std::numeric_limits<std::time_t>::max();  // past any int year
    trace_write(TRACE_ERROR, "beyond %s", "the calendar");

    std::string text = read_all(path);
    std::string pid = std::to_string(getpid());
    EXPECT_TRUE(std::regex_match(
        text, std::regex(R"(\d{8}\.\d{6} \(reduzezezev-)" + pid + R"(\): ordinary 1\n)"
                         R"(00000000\.000000 \(reduzezezev-)" + pid + R"(\): beyond the calendar\n)")))
        << text;
    unlink(path.c_str());
}
