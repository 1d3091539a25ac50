// Every way a run can fail, what it traces, what it leaves in the pipe and
// the exit status it reports.

#include "fixture.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <functional>
#include <regex>

using namespace harness;

namespace {

// A write the handler refuses itself, before the pipe is full.
const std::string UNSURE = error_text(EAGAIN) + ": no room the handler can be sure of";

// Writes size bytes into the FIFO through a write end of the test's own, so
// that the pipe is that full when the handler starts.
void prefill(std::size_t size)
{
    int fd = open(PIPE, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string filler(size, '#');
    ASSERT_EQ(write(fd, filler.data(), filler.size()), static_cast<ssize_t>(size));
    close(fd);
}

}  // namespace

// Whatever stands at the pipe path, the open fails at once, nothing is
// written and the status is 1. Each case starts with the test's reader gone
// and then puts its own thing at the path.
struct OpenCase {
    const char *name;
    std::function<void()> replace_pipe;
    std::string error;
};

class OpenFailure : public RelayTest, public testing::WithParamInterface<OpenCase> {};

TEST_P(OpenFailure, RefusedAtOnceWithStatus1)
{
    const OpenCase &c = GetParam();
    drop_reader();
    c.replace_pipe();
    for (const char *level : {"0", "1"}) {
        remove_all(TRACE);
        Outcome o = run({.args = {"-d", level}, .input = "trap\n"});
        EXPECT_EQ(o.exit_code, 1);
        std::vector<std::string> expected{pipe_message("Error opening", c.error)};
        if (level[0] == '1')
            expected.insert(expected.begin(), STARTED);
        EXPECT_EQ(trace_messages(), expected);
        EXPECT_EQ(o.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    AtThePipePath, OpenFailure,
    testing::Values(
        OpenCase{"NoReader", [] {}, error_text(ENXIO)},
        OpenCase{"Nothing", [] { remove_all(PIPE); }, error_text(ENOENT)},
        OpenCase{"Directory",
                 [] {
                     remove_all(PIPE);
                     mkdir(PIPE, 0700);
                 },
                 error_text(EISDIR)},
        OpenCase{"RegularFile",
                 [] {
                     remove_all(PIPE);
                     write_file(PIPE, "left behind\n");
                 },
                 "Not a FIFO"},
        OpenCase{"CharacterDevice",
                 [] {
                     remove_all(PIPE);
                     ASSERT_EQ(symlink("/dev/null", PIPE), 0);
                 },
                 "Not a FIFO"},
        // Being taken away by its reader: mode 0, which root passes.
        OpenCase{"TakenAway", [] { open(PIPE, O_RDONLY | O_NONBLOCK | O_CLOEXEC); chmod(PIPE, 0); },
                 error_text(EACCES)}),
    testing::PrintToStringParamName());

// A file left at the pipe path keeps its content and its time stamps.
TEST_F(RelayTest, RegularFileAtPipePathIsLeftUntouched)
{
    drop_reader();
    remove_all(PIPE);
    write_file(PIPE, "left behind\n");
    struct stat before, after;
    ASSERT_EQ(stat(PIPE, &before), 0);
    Outcome o = run({.input = std::string(100, 'x')});
    EXPECT_EQ(o.exit_code, 1);
    ASSERT_EQ(stat(PIPE, &after), 0);
    EXPECT_EQ(read_file(PIPE), "left behind\n");
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// A trap longer than the pipe, from a reader that never reads: what went in
// is an exact prefix of whole chunks, ended by an empty line so that it
// stands apart, and the trap after it is a record of its own.
TEST_F(RelayTest, TrapLongerThanThePipeIsCutAndEnded)
{
    std::string input = random_bytes(200000, 3);
    for (const char *level : {"0", "1"}) {
        SCOPED_TRACE(level);
        remove_all(TRACE);
        Outcome o = harness::run({.args = {"-d", level}, .input = input}, -1);
        EXPECT_EQ(o.exit_code, 1);
        EXPECT_EQ(harness::run({.input = "next\n"}, -1).exit_code, 0);
        std::string received = drain(reader_);
        std::size_t cut = (received.size() - 6) / 8192 * 8192;  // only whole chunks go in
        ASSERT_GT(cut, 0u);
        EXPECT_TRUE(received == input.substr(0, cut) + (input[cut - 1] == '\n' ? "\n" : "\n\n") + "next\n\n");
        auto messages = trace_messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(), pipe_message("Error writing to", UNSURE + ": trap cut after "
                                                                 + std::to_string(cut) + " bytes"));
    }
}

// Traps of mixed sizes, one handler at a time, into a pipe that nobody
// reads until it refuses them: read afterwards as a reader frames them,
// every trap reported delivered is there whole, once, no record mixes two
// traps, and a trap cut short is there as far as it went, whole chunks,
// ended after the line it was cut in.
TEST_F(RelayTest, FillingPipeNeverMixesTraps)
{
    for (int size : {64 << 10, 1 << 20}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(fcntl(reader_, F_SETPIPE_SZ, size), size);
        std::vector<std::string> traps;
        std::vector<bool> delivered;
        for (int refused = 0; refused < 25;) {
            std::string trap = "trap " + std::to_string(traps.size()) + "\n";
            std::size_t want = 250 + ((traps.size() + 3) * 7919) % (size / 2);
            while (trap.size() < want)
                trap += "IF-MIB::ifDescr." + std::to_string(trap.size()) + " a long line of text\n";
            delivered.push_back(harness::run({.input = trap}, -1).exit_code == 0);
            refused += delivered.back() ? 0 : 1;
            traps.push_back(trap);
        }
        std::string stream = drain(reader_);
        std::vector<int> seen(traps.size());
        int cuts = 0;
        for (std::size_t at = 0, end; at < stream.size(); at = end + 2) {
            end = stream.find("\n\n", at);
            ASSERT_NE(end, std::string::npos) << "a record without its end";
            std::string record = stream.substr(at, end + 1 - at);
            std::size_t number = std::stoul(record.substr(5));
            ASSERT_LT(number, traps.size());
            const std::string &trap = traps[number];
            std::size_t cut = record.size() / 8192 * 8192;
            bool ended_cut = cut > 0 && record == trap.substr(0, cut) + (trap[cut - 1] == '\n' ? "" : "\n");
            EXPECT_TRUE(record == trap || ended_cut) << record.substr(0, 80);
            seen[number] += record == trap ? 1 : 0;
            cuts += ended_cut ? 1 : 0;
        }
        for (std::size_t i = 0; i < traps.size(); ++i)
            EXPECT_EQ(seen[i], delivered[i] ? 1 : 0) << "trap " << i;
        EXPECT_GT(cuts, 0) << "no trap was cut";
    }
}

// A trap and its marker go in with one write, which the kernel keeps whole:
// the last page of the pipe takes 4095 bytes and the marker, and a trap one
// byte longer is refused before any of it goes in.
TEST_F(RelayTest, TrapAndMarkerGoInTogetherOrNotAtAll)
{
    for (std::size_t size : {4095, 4096}) {
        SCOPED_TRACE(size);
        remove_all(TRACE);
        prefill(15 * 4096);
        std::string input(size, 'd');
        Outcome o = harness::run({.input = input}, -1);
        std::string received = drain(reader_).substr(15 * 4096);
        EXPECT_EQ(o.exit_code, size == 4095 ? 0 : 1);
        EXPECT_TRUE(received == (size == 4095 ? input + "\n" : ""));
        EXPECT_EQ(trace_messages(), (size == 4095 ? std::vector<std::string>{}
                                         : std::vector<std::string>{pipe_message("Error writing to", UNSURE)}));
    }
}

// A trap in two pieces, while the pipe fills or is taken away between them:
// the first goes in only with room for it and a cut's end (a byte queued
// counts as a page), a cut is ended after its line, and what a second
// writer takes of the room kept for that end, or a take-away, is said.
struct MidTrapCase {
    const char *name;
    std::size_t before;  // bytes in the pipe as the handler starts
    std::string first, rest;
    std::function<std::string(int)> meanwhile;  // with the reader; what it read
    std::vector<std::string> trace;
    std::string stream;  // of the trap, in the pipe
};

class MidTrap : public RelayTest, public testing::WithParamInterface<MidTrapCase> {};

TEST_P(MidTrap, EndsWhatWentInOrSaysWhyNot)
{
    const MidTrapCase &c = GetParam();
    prefill(c.before);
    Process handler({.stdin_kind = Stdin::pipe});
    handler.feed(c.first);
    poll(nullptr, 0, 300);  // it goes in, or the handler gives up
    std::string stream = c.meanwhile ? c.meanwhile(reader_) : "";
    handler.feed(c.rest);
    poll(nullptr, 0, 300);
    handler.close_input();
    Outcome o = handler.finish(-1);
    stream += drain(reader_);
    std::erase(stream, '#');
    EXPECT_EQ(o.exit_code, c.trace.empty() ? 0 : 1);
    EXPECT_EQ(trace_messages(), c.trace);
    EXPECT_TRUE(stream == c.stream) << stream.size() << " bytes: " << stream.substr(stream.size() - 3);
}

const std::string A = std::string(8192, 'a'), B = std::string(8192, 'b'), LINE = std::string(3999, 'l') + "\n";
const auto SECOND_WRITER = [](std::size_t room) {
    return [room](int reader) { std::string read = drain(reader); prefill(65536); return read + read_exactly(reader, room); };
};

INSTANTIATE_TEST_SUITE_P(
    Pieces, MidTrap,
    testing::Values(
        MidTrapCase{"FirstPieceNeedsRoom", 7 * 4096, "first\n", "", nullptr,
                    {pipe_message("Error writing to", UNSURE)}, ""},
        MidTrapCase{"CutEndsInTheKeptPage", 6 * 4096 + 100, LINE, LINE, nullptr,
                    {pipe_message("Error writing to", UNSURE + ": trap cut after 4000 bytes")}, LINE + "\n"},
        MidTrapCase{"AByteQueuedIsOnePage", 1, std::string(7 * 8192, 'p'), "", nullptr, {},
                    std::string(7 * 8192, 'p') + "\n"},
        MidTrapCase{"SecondWriterTakesTheEnd", 0, A, B, SECOND_WRITER(0),
                    {pipe_message("Error writing to", error_text(EAGAIN)),
                     pipe_message("Error writing EOD to", error_text(EAGAIN))}, A},
        MidTrapCase{"SecondWriterCutsAWriteShort", 0, A, B, SECOND_WRITER(4096),
                    {pipe_message("Error writing to", "short write, 4096 of 8192 bytes"),
                     pipe_message("Error writing EOD to", error_text(EAGAIN))}, A + B.substr(4096)},
        MidTrapCase{"SecondWriterTakesTheMarker", 0, A, "", SECOND_WRITER(0),
                    {pipe_message("Error writing EOD to", error_text(EAGAIN))}, A},
        MidTrapCase{"TakenAway", 0, "trap\n", "", [](int) { chmod(PIPE, 0); return std::string(); },
                    {pipe_message("Error writing to", "Pipe taken away by its reader")}, "trap\n\n"}),
    testing::PrintToStringParamName());

// The reader goes away between two chunks. Under the default disposition
// the broken-pipe signal ends the handler with no further trace line; where
// whoever started it ignores that signal, the write fails with EPIPE.
TEST_F(RelayTest, ReaderGoesAwayMidRun)
{
    for (bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "SIGPIPE ignored" : "SIGPIPE default");
        remove_all(TRACE);
        drop_reader();
        reader_ = open(PIPE, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        Process handler({.args = {"-d", "1"}, .stdin_kind = Stdin::pipe,
                         .ignore_sigpipe = ignored});
        handler.feed("first\n");
        EXPECT_EQ(read_exactly(reader_, 6), "first\n");
        drop_reader();
        handler.feed("second\n");
        handler.close_input();
        Outcome o = handler.finish(-1);
        std::vector<std::string> expected{STARTED, OPENED,
                                          chunk("first\n"), chunk("second\n")};
        if (ignored) {
            EXPECT_EQ(o.exit_code, 1);
            expected.push_back(pipe_message("Error writing to", std::strerror(EPIPE)));
        } else {
            EXPECT_EQ(o.signal, SIGPIPE);
        }
        EXPECT_EQ(trace_messages(), expected);
    }
}

// A read that fails, at once or after some data: what was read is in the
// pipe, the marker follows, and the read's own error is traced after the
// marker; the status is 1.
TEST_F(RelayTest, ReadFailureAtOnce)
{
    Outcome o = run({.args = {"-d", "1"}, .stdin_kind = Stdin::directory});
    EXPECT_EQ(o.exit_code, 1);
    EXPECT_EQ(o.fifo, "\n");
    EXPECT_EQ(trace_messages(),
              (std::vector<std::string>{STARTED, OPENED, EOD,
                                        "Error reading from stdin [Is a directory]",
                                        TERMINATED}));
}

TEST_F(RelayTest, ReadFailureAfterData)
{
    // An empty non-blocking pipe whose writer stays open: after the data
    // the next read fails with EAGAIN.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    for (const char *level : {"0", "1"}) {
        remove_all(TRACE);
        Outcome o = run({.args = {"-d", level}, .stdin_kind = Stdin::given, .stdin_fd = fds[0]});
        EXPECT_EQ(o.exit_code, 1);
        std::vector<std::string> expected{"Error reading from stdin [Resource temporarily unavailable]"};
        if (level[0] == '1') {
            EXPECT_EQ(o.fifo, "\n");  // the data went in on the first round
            expected = {STARTED, OPENED, EOD, expected[0], TERMINATED};
        } else {
            EXPECT_EQ(o.fifo, "abc\n");
        }
        EXPECT_EQ(trace_messages(), expected);
    }
    close(fds[0]);
    close(fds[1]);
}

// Anything already at the trace file path: the trace is never written there
// (a link is not followed), that is said once on standard error, a failure
// of the run follows it there, and the trap is still handed over with the
// status that says so.
struct TracePathCase {
    const char *name;
    std::function<void()> setup;
    std::function<void()> check;
};

class TracePathTaken : public RelayTest, public testing::WithParamInterface<TracePathCase> {};

TEST_P(TracePathTaken, TrapIsStillHandedOver)
{
    const TracePathCase &c = GetParam();
    c.setup();
    Outcome o = run({.args = {"-d", "1"}, .input = "trap\n"});
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.fifo, "trap\n\n");
    EXPECT_EQ(o.err, log_unavailable(error_text(EEXIST))) << "progress must not reach stderr";
    c.check();

    // A failure later in the run: the trace file is still tried only once,
    // and the failure itself is not left to show as a logging problem.
    drop_reader();
    Outcome failed = run({.args = {"-d", "1"}, .input = "trap\n"});
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_EQ(failed.err, o.err + on_stderr(pipe_message("Error opening", error_text(ENXIO))));
    c.check();
}

namespace {
std::string target() { return std::string(RUN_DIR) + "/trace-target"; }
}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Anything, TracePathTaken,
    testing::Values(
        TracePathCase{"EarlierTrace", [] { write_file(TRACE, "earlier\n"); },
                      [] { EXPECT_EQ(read_file(TRACE), "earlier\n"); }},
        TracePathCase{"Directory", [] { mkdir(TRACE, 0700); },
                      [] {
                          struct stat st;
                          ASSERT_EQ(stat(TRACE, &st), 0);
                          EXPECT_TRUE(S_ISDIR(st.st_mode));
                      }},
        TracePathCase{"DanglingLink",
                      [] {
                          remove_all(target().c_str());
                          ASSERT_EQ(symlink(target().c_str(), TRACE), 0);
                      },
                      [] { EXPECT_FALSE(exists(target().c_str())); }},
        TracePathCase{"LinkToFile",
                      [] {
                          write_file(target().c_str(), "precious\n");
                          ASSERT_EQ(symlink(target().c_str(), TRACE), 0);
                      },
                      [] { EXPECT_EQ(read_file(target().c_str()), "precious\n"); }}),
    testing::PrintToStringParamName());

// Under the trap receiver's service standard error is the journal: each
// line there takes the journal's priority prefix, and every failure goes
// there, the first one that the trace file takes too, so that the journal
// at priority err lists each refused trap. A trap handed over writes nothing.
TEST_F(RelayTest, FailuresReachTheJournalAtErrorPriority)
{
    EXPECT_EQ(run({.input = "trap\n", .err_is_journal = true}).err, "");
    drop_reader();
    const std::string refused = on_stderr(pipe_message("Error opening", error_text(ENXIO)));
    EXPECT_EQ(run({.input = "trap\n", .err_is_journal = true}).err, "<3>" + refused);
    EXPECT_EQ(run({.input = "trap\n", .err_is_journal = true}).err,
              "<4>" + log_unavailable(error_text(EEXIST)) + "<3>" + refused);
    // Its inode on another device is another file.
    EXPECT_EQ(run({.input = "trap\n", .err_is_journal = true, .stream_elsewhere = true}).err,
              log_unavailable(error_text(EEXIST)) + refused);
}

// At level 0 a run that succeeds traces nothing, so it never even looks.
TEST_F(RelayTest, QuietRunDoesNotTouchTheTracePath)
{
    write_file(TRACE, "earlier\n");
    Outcome o = run({.input = "trap\n"});
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(read_file(TRACE), "earlier\n");
}

// Limits the caller may set. Past a file-size limit a trace line fails like
// any failed trace write: the file keeps only whole lines, a later line
// that fits goes where the refused one would have, and the hand-over and its
// status are as if there were no limit, also where standard error is a file
// under that limit. With every descriptor taken, the trace file cannot be
// created, the pipe cannot be opened, and both are said on standard error.
const std::string ORDINARY_TRAP = "host.example\nUDP: [192.0.2.1]\n";

struct LimitCase {
    const char *name;
    int resource;
    rlim_t limit;
    const char *level;
    bool reader;
    int exit_code;
    std::vector<std::string> trace;  // messages left in the trace file
    bool trace_created;
    std::string err;
    std::string input = ORDINARY_TRAP;
    bool trace_taken = false;        // an earlier trace is at the path
    bool err_to_file = false;
};

class Limits : public RelayTest, public testing::WithParamInterface<LimitCase> {};

TEST_P(Limits, CostNothingButTheTrace)
{
    const LimitCase &c = GetParam();
    if (c.resource == RLIMIT_NOFILE && !TEST_HANDLER_STATIC)
        GTEST_SKIP() << "a dynamically linked handler's loader needs descriptors of its own";
    if (!c.reader)
        drop_reader();
    if (c.trace_taken)
        write_file(TRACE, "earlier\n");
    Outcome o = run({.args = {"-d", c.level}, .input = c.input, .use_wrapper = false,
                     .limit_resource = c.resource, .limit = c.limit,
                     .err_to_file = c.err_to_file});
    EXPECT_EQ(o.signal, 0) << "ended by a signal";
    EXPECT_EQ(o.exit_code, c.exit_code);
    EXPECT_TRUE(o.fifo == (c.reader && c.exit_code == 0 ? c.input + "\n" : ""));
    if (c.trace_taken) {
        EXPECT_EQ(read_file(TRACE), "earlier\n");
    } else {
        EXPECT_EQ(trace_messages(), c.trace);
        EXPECT_EQ(exists(TRACE), c.trace_created);
    }
    EXPECT_EQ(o.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    OfTheCaller, Limits,
    testing::Values(
        LimitCase{"FileSizeBelowTheFirstLine", RLIMIT_FSIZE, 10, "1", true, 0, {}, true, ""},
        LimitCase{"FileSizeAfterTheFirstLine", RLIMIT_FSIZE, 100, "1", true, 0, {STARTED}, true, ""},
        LimitCase{"FileSizeRefusesOnlyTheLongLine", RLIMIT_FSIZE, 1000, "1", true, 0,
                  {STARTED, OPENED, EOD, TERMINATED}, true, "", std::string(2000, 'x')},
        LimitCase{"FileSizeOfStandardError", RLIMIT_FSIZE, 10, "1", true, 0, {}, false,
                  log_unavailable(error_text(EEXIST)).substr(0, 10), ORDINARY_TRAP, true, true},
        LimitCase{"FileSizeAtAFailure", RLIMIT_FSIZE, 10, "0", false, 1, {}, true,
                  on_stderr(pipe_message("Error opening", error_text(ENXIO)))},
        LimitCase{"ThreeDescriptors", RLIMIT_NOFILE, 3, "1", true, 1, {}, false,
                  log_unavailable(error_text(EMFILE))
                      + on_stderr(pipe_message("Error opening", error_text(EMFILE)))},
        LimitCase{"FourDescriptorsTraced", RLIMIT_NOFILE, 4, "1", true, 1,
                  {STARTED, pipe_message("Error opening", error_text(EMFILE))}, true, ""},
        LimitCase{"FourDescriptorsQuiet", RLIMIT_NOFILE, 4, "0", true, 0, {}, false, ""}),
    testing::PrintToStringParamName());
