// The stand-in reader: what it makes of the path it is given, how it frames
// what arrives, and that one reader at a time holds the pipe, across
// restarts too when the pipe is held for it as systemd holds a socket's.

#include "fixture.h"

#include <signal.h>

#include <algorithm>

using namespace harness;

namespace {

// A group to give the FIFO: one that reads differently in octal where the
// tests may give any group (as root), else the tests' own.
const gid_t GROUP_ID = getuid() == 0 ? 12 : getgid();
const std::string GROUP = std::to_string(GROUP_ID);

std::string framed(long number, const std::string &text)
{
    return "=== trap " + std::to_string(number) + " ===\n" + text + "=== end of trap "
           + std::to_string(number) + ": " + std::to_string(text.size()) + " bytes ===\n";
}

std::string empty_records(long count)
{
    std::string out;
    for (long n = 1; n <= count; ++n)
        out += framed(n, "");
    return out;
}

}  // namespace

class TrapsinkTest : public RelayTest {
protected:
    void SetUp() override
    {
        RelayTest::SetUp();
        drop_reader();
        remove_all(PIPE);
    }
};

// What trapsink makes of its path and options, run with "-n 0" so that it
// exits as soon as it holds the pipe. A malformed value is a usage error
// (status 2) before anything is touched; anything but a FIFO is named and
// left as it is (status 1).
enum class At { nothing, fifo, file };

struct StartCase {
    const char *name;
    At at;                          // made 0640, a file with text
    std::vector<std::string> args;  // "-n 0" and the path follow
    int status;
    const char *says;               // on standard error
    mode_t mode;                    // at the path afterwards; 0: nothing
    bool group;                     // of GROUP afterwards, else the tests' own
};

class TrapsinkStarts : public TrapsinkTest, public testing::WithParamInterface<StartCase> {};

TEST_P(TrapsinkStarts, WithThePathAsAsked)
{
    const StartCase &c = GetParam();
    if (c.at == At::fifo) {
        ASSERT_EQ(mkfifo(PIPE, 0640), 0);
    } else if (c.at == At::file) {
        write_file(PIPE, "not a pipe\n");
    }
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-n", "0", PIPE});
    Outcome o = harness::run({.program = TRAPSINK, .args = args}, -1);
    EXPECT_EQ(o.exit_code, c.status);
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
    struct stat st;
    if (c.mode == 0) {
        EXPECT_FALSE(exists(PIPE));
        return;
    }
    ASSERT_EQ(lstat(PIPE, &st), 0);
    EXPECT_EQ(st.st_mode, c.mode);
    EXPECT_EQ(st.st_gid, c.group ? GROUP_ID : getgid());
    if (c.at == At::file) {
        EXPECT_EQ(read_file(PIPE), "not a pipe\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrapsinkStarts,
    testing::Values(
        StartCase{"MakesItPrivate", At::nothing, {}, 0, "", S_IFIFO | 0600, false},
        StartCase{"ModeAndGroupOnMaking", At::nothing, {"-m", "0620", "-g", GROUP}, 0, "",
                  S_IFIFO | 0620, true},
        StartCase{"ModeAndGroupOnFinding", At::fifo, {"-m", "0620", "-g", GROUP}, 0, "",
                  S_IFIFO | 0620, true},
        StartCase{"FoundKeepsItsMode", At::fifo, {}, 0, "", S_IFIFO | 0640, false},
        StartCase{"WidestMode", At::nothing, {"-m", "0777"}, 0, "", S_IFIFO | 0777, false},
        StartCase{"RegularFileUntouched", At::file, {"-m", "0620", "-g", GROUP}, 1,
                  "is a regular file, not a FIFO", S_IFREG | 0644, false},
        StartCase{"CountNotANumber", At::nothing, {"-n", "x"}, 2, "usage:", 0, false},
        StartCase{"CountWithTrailingText", At::nothing, {"-n", "3x"}, 2, "usage:", 0, false},
        StartCase{"CountNegative", At::nothing, {"-n", "-1"}, 2, "usage:", 0, false},
        StartCase{"CountEmpty", At::nothing, {"-n", ""}, 2, "usage:", 0, false},
        StartCase{"CountTooLarge", At::nothing, {"-n", "9223372036854775808"}, 2, "usage:", 0, false},
        StartCase{"DescriptorNotANumber", At::nothing, {"-N", "three"}, 2, "usage:", 0, false},
        StartCase{"DescriptorTooLarge", At::nothing, {"-N", "99999999999"}, 2, "usage:", 0, false},
        StartCase{"ModeNotOctal", At::nothing, {"-m", "0680"}, 2, "usage:", 0, false},
        StartCase{"ModeBeyondPermissions", At::nothing, {"-m", "4755"}, 2, "usage:", 0, false},
        StartCase{"SecondOperand", At::nothing, {"extra"}, 2, "usage:", 0, false},
        StartCase{"UnknownGroup", At::nothing, {"-g", "no-such-group-here"}, 2, "no group", 0, false}),
    testing::PrintToStringParamName());

// Whatever comes through the pipe, in whatever amounts, is framed exactly:
// every record counted and sized, nothing printed past COUNT. Without a
// COUNT the reader is stopped once the expected output is in.
struct FrameCase {
    const char *name;
    std::vector<std::string> args;
    std::string input;  // written into the pipe
    std::string out;
};

class TrapsinkFrames : public TrapsinkTest, public testing::WithParamInterface<FrameCase> {};

TEST_P(TrapsinkFrames, ExactlyWhatArrived)
{
    const FrameCase &c = GetParam();
    Launch launch = trapsink(c.args);
    launch.input = c.input;
    Process sink(launch);
    bool counted = std::find(c.args.begin(), c.args.end(), "-n") != c.args.end();
    Outcome o = sink.finish(-1, counted ? std::string::npos : c.out.size());
    EXPECT_EQ(o.exit_code, counted ? 0 : -1);
    EXPECT_EQ(o.err, "");
    EXPECT_TRUE(o.out == c.out) << o.out.size() << " bytes out for " << c.out.size() << ":\n"
                                << o.out.substr(0, 300);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, TrapsinkFrames,
    testing::Values(
        FrameCase{"OneTrap", {"-n", "1"}, "host\nline two\n\n", framed(1, "host\nline two\n")},
        FrameCase{"EmptyTrap", {"-n", "1"}, "\n", framed(1, "")},
        FrameCase{"ThirtyThousandEmptyTraps", {"-n", "30000"}, std::string(30000, '\n'),
                  empty_records(30000)},
        FrameCase{"OneMebibyteTrap", {"-n", "1"}, std::string(1 << 20, 'a') + "\n\n",
                  framed(1, std::string(1 << 20, 'a') + "\n")},
        FrameCase{"NothingPastCount", {"-n", "2"}, "a\n\nb\n\nc\n\n", framed(1, "a\n") + framed(2, "b\n")},
        FrameCase{"RawNothingPastCount", {"-r", "-n", "1"}, "a\n\nb\n\n", "a\n\n"},
        FrameCase{"EndsInsideATrap", {}, "a\n\nb", framed(1, "a\n") + "=== trap 2 ===\nb"}),
    testing::PrintToStringParamName());

// A second trapsink on a pipe that one reads is refused at once, and the
// first loses nothing; it holds the pipe's write end too, so that it runs on
// between handlers until it is stopped.
TEST_F(TrapsinkTest, OneReaderAtATime)
{
    Process first(trapsink({"-r"}));
    Outcome second = harness::run({.program = TRAPSINK, .args = {"-n", "0", PIPE}}, -1);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_EQ(second.err, std::string("trapsink: '") + PIPE + "' is read by another trapsink already\n");
    std::string sent;
    for (const char *trap : {"one\n", "two\n", "three\n"}) {
        EXPECT_EQ(harness::run({.input = trap}, -1).exit_code, 0);
        sent += std::string(trap) + "\n";
    }
    Outcome o = first.finish(-1, sent.size());
    EXPECT_EQ(o.signal, SIGTERM) << "it ended by itself: " << o.err;
    EXPECT_EQ(o.out, sent);
}

// What systemd does for a socket unit with ListenFIFO=: the FIFO is made and
// held open read-write, and handed as descriptor 3 to trapsink, which runs
// unprivileged and never opens the path. Traps written while it is stopped
// wait in the pipe; after a restart every trap has arrived once, in order.
TEST_F(TrapsinkTest, RestartLosesNothingWhileThePipeIsHeld)
{
    ASSERT_EQ(mkfifo(PIPE, 0600), 0);
    int held = open(PIPE, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    const Launch activated{.program = TRAPSINK, .args = {"-r", "-N", "4"}, .ready_fd = 4,
                           .listen_fd = held, .unprivileged = true};
    int serial = 0;
    auto send = [&serial](int count) {
        std::string sent;
        for (int i = 0; i < count; ++i) {
            std::string trap = "trap " + std::to_string(++serial) + "\nUDP: [192.0.2.1]\n";
            EXPECT_EQ(harness::run({.input = trap}, -1).exit_code, 0) << trap;
            sent += trap + "\n";
        }
        return sent;
    };
    std::string before, while_stopped;
    {
        Process sink(activated);
        before = send(20);
        Outcome o = sink.finish(-1, before.size());
        EXPECT_EQ(o.signal, SIGTERM) << o.err;
        EXPECT_EQ(o.out, before);
    }
    while_stopped = send(20);
    Process sink(activated);
    std::string after = send(20);
    Outcome o = sink.finish(-1, while_stopped.size() + after.size());
    EXPECT_EQ(o.signal, SIGTERM) << o.err;
    EXPECT_EQ(o.out, while_stopped + after);
    close(held);
}
