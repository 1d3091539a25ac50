// Each test starts with a fresh FIFO at the handler's pipe path, held open
// for reading by the test, and nothing at the trace file path.
#pragma once

#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <string_view>

// The handler's progress messages, as a run traces them at level 1.
inline const std::string STARTED = "Traphandler started ...";
inline const std::string OPENED = std::string("Opened pipe '") + harness::PIPE + "'";
inline const std::string EOD = "Wrote EOD to pipe";
inline const std::string TERMINATED = "Traphandler terminated.";

inline std::string chunk(const std::string &text)
{
    return "Read line from stdin: '" + text + "'";
}

// "Error opening pipe '...' [error]" and its like.
inline std::string pipe_message(const char *before, const std::string &error)
{
    return std::string(before) + " pipe '" + harness::PIPE + "' [" + error + "]";
}

// What a run says on standard error when the trace file cannot be created,
// and a failure that therefore did not reach the trace.
inline std::string log_unavailable(const std::string &error)
{
    return std::string("Cannot open log file '") + harness::TRACE + "' [" + error + "]\n";
}

inline std::string on_stderr(const std::string &failure)
{
    return "reduzezezev: " + failure + "\n";
}

// The stand-in reader on the pipe path with args; starting returns once it
// holds the pipe (or has ended).
inline harness::Launch trapsink(std::vector<std::string> args)
{
    args.insert(args.begin(), {"-N", "4"});
    args.emplace_back(harness::PIPE);
    return {.program = harness::TRAPSINK, .args = args, .stdin_kind = harness::Stdin::fifo,
            .ready_fd = 4};
}

// A table's case prints as its name: in failure messages, and through
// testing::PrintToStringParamName() as its test's name.
template <typename Case>
    requires requires(const Case &c) { std::string_view(c.name); }
std::ostream &operator<<(std::ostream &os, const Case &c)
{
    return os << c.name;
}

class RelayTest : public testing::Test {
protected:
    void SetUp() override
    {
        harness::remove_all(harness::TRACE);
        harness::remove_all(harness::PIPE);
        ASSERT_EQ(mkfifo(harness::PIPE, 0600), 0);
        reader_ = open(harness::PIPE, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader_, 0);
    }

    void TearDown() override
    {
        drop_reader();
        harness::remove_all(harness::PIPE);
        harness::remove_all(harness::TRACE);
    }

    void drop_reader()
    {
        if (reader_ >= 0)
            close(reader_);
        reader_ = -1;
    }

    harness::Outcome run(const harness::Launch &launch)
    {
        return harness::run(launch, reader_);
    }

    int reader_ = -1;
};
