// The handler under conditions its caller may create: standard descriptors
// left closed, many handlers at once on one pipe, and random inputs arriving
// in random pieces.

#include "fixture.h"

#include <cstdlib>
#include <memory>
#include <ostream>
#include <random>
#include <regex>

using namespace harness;

namespace {

// "Fd0Fd2" for descriptors 0 and 2 closed.
std::string closed_name(unsigned closed)
{
    std::string name;
    for (int fd = 0; fd < 3; ++fd)
        if (closed & (1u << fd))
            name += "Fd" + std::to_string(fd);
    return name;
}

}  // namespace

// Started with any of descriptors 0, 1 and 2 closed, the handler must not
// let its pipe or trace file take their numbers (its opens, seen through
// strace, give neither of them one): no trace text or standard error
// message may reach the pipe, and no trap data the trace file except
// inside its messages. A closed standard input reads as a failed read.
// Where /dev/null cannot be opened to fill them, the run ends at once with
// status 1 and writes nothing into the pipe.
struct ClosedCase {
    unsigned closed;
    bool trace_taken;
    bool dev_null_refused = false;
    const char *level = "1";
    friend void PrintTo(const ClosedCase &c, std::ostream *os)
    {
        *os << "closed mask " << c.closed << (c.trace_taken ? ", trace taken" : "")
            << (c.dev_null_refused ? ", /dev/null refused" : "") << ", level " << c.level;
    }
};

class ClosedDescriptors : public RelayTest, public testing::WithParamInterface<ClosedCase> {};

TEST_P(ClosedDescriptors, NothingLandsInTheWrongPlace)
{
    const ClosedCase &c = GetParam();
    if (c.trace_taken)
        write_file(TRACE, "earlier\n");
    const std::string input = "host.example\nUDP: [192.0.2.1]\n";
    const char strace[] = "/usr/bin/strace";
    const char *why = strace_unusable();
    if (why != nullptr && c.dev_null_refused)
        GTEST_SKIP() << why;
    std::string log = std::string(RUN_DIR) + "/opens.strace";
    std::vector<std::string> wrapper;
    if (why == nullptr)
        wrapper = {strace, "-qq", "-e", "trace=open,openat", "-o", log};
    if (c.dev_null_refused)
        wrapper.insert(wrapper.end(), {"-P", "/dev/null", "-e", "inject=open,openat:error=EACCES"});
    Outcome o = run({.args = {"-d", c.level}, .input = input, .closed_fds = c.closed,
                     .use_wrapper = false, .wrapper = wrapper, .env = {"ASAN_OPTIONS=detect_leaks=0"}});
    static const std::regex trace_open(R"(corvane\.trc", [^)]*\) = ([0-9]+))");
    std::smatch opened;
    std::string calls = read_file(log.c_str());
    if (std::regex_search(calls, opened, trace_open)) {
        EXPECT_GT(std::stoi(opened[1]), 2) << "the trace file took a standard descriptor";
    }
    remove_all(log.c_str());
    if (c.dev_null_refused) {
        EXPECT_EQ(o.exit_code, 1);
        EXPECT_EQ(o.fifo, "");
        EXPECT_EQ(trace_messages(),
                  std::vector<std::string>{"Error opening '/dev/null' [" + error_text(EACCES) + "]"});
        return;
    }
    bool stdin_closed = (c.closed & 1u) != 0;
    EXPECT_EQ(o.exit_code, stdin_closed ? 1 : 0);
    EXPECT_EQ(o.fifo, stdin_closed ? "\n" : input + "\n");
    EXPECT_EQ(o.out, "");
    if (!(c.closed & 4u)) {
        std::string err;
        if (c.trace_taken) {
            err = log_unavailable(error_text(EEXIST));
            if (stdin_closed)
                err += on_stderr("Error reading from stdin [Bad file descriptor]");
        }
        EXPECT_EQ(o.err, err);
    }
    if (c.trace_taken) {
        EXPECT_EQ(read_file(TRACE), "earlier\n");
        return;
    }
    std::vector<std::string> expected{STARTED, OPENED};
    if (stdin_closed) {
        expected.insert(expected.end(), {EOD, "Error reading from stdin [Bad file descriptor]"});
    } else {
        expected.insert(expected.end(), {chunk(input), EOD});
    }
    expected.push_back(TERMINATED);
    EXPECT_EQ(trace_messages(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Combinations, ClosedDescriptors,
    testing::ValuesIn([] {
        std::vector<ClosedCase> cases;
        for (unsigned mask = 1; mask < 8; ++mask)
            for (bool taken : {false, true})
                cases.push_back({mask, taken});
        cases.push_back({1u << 0, false, true});
        cases.push_back({1u << 2, false, true});
        cases.push_back({1u << 2, false, true, "0"});
        return cases;
    }()),
    [](const auto &info) {
        return closed_name(info.param.closed) + (info.param.trace_taken ? "TraceTaken" : "")
               + (info.param.dev_null_refused ? "DevNullRefused" : "")
               + (info.param.level[0] == '0' ? "AtLevel0" : "");
    });

// The dangerous case: a message that comes after the pipe is open. At level
// 0 the first trace is a failure's, here the failed read of a directory, and
// with the trace path taken it goes to standard error; had the pipe taken
// descriptor 2, the message would run into the reader's stream.
class ClosedDescriptorsLateMessage : public RelayTest,
                                     public testing::WithParamInterface<unsigned> {};

TEST_P(ClosedDescriptorsLateMessage, StaysOutOfThePipe)
{
    unsigned closed = GetParam();
    write_file(TRACE, "earlier\n");
    Outcome o = run({.stdin_kind = Stdin::directory, .closed_fds = closed, .use_wrapper = false});
    EXPECT_EQ(o.exit_code, 1);
    EXPECT_EQ(o.fifo, "\n");
    EXPECT_EQ(o.out, "");
    if (!(closed & 4u)) {
        std::string read_error = error_text(closed & 1u ? EBADF : EISDIR);
        EXPECT_EQ(o.err, log_unavailable(error_text(EEXIST))
                             + on_stderr(std::string("Error reading from stdin [") + read_error + "]"));
    }
    EXPECT_EQ(read_file(TRACE), "earlier\n");
}

INSTANTIATE_TEST_SUITE_P(Combinations, ClosedDescriptorsLateMessage, testing::Range(1u, 8u),
                         [](const auto &info) { return closed_name(info.param); });

// Many handlers at once on one pipe, each with a record smaller than what
// the system keeps whole: every record arrives whole, with its marker, and
// none is lost.
TEST_F(RelayTest, ManyHandlersAtOnce)
{
    constexpr int HANDLERS = 48;
    drop_reader();
    Process sink(trapsink({"-r", "-n", std::to_string(HANDLERS)}));

    std::vector<std::string> records;
    std::vector<std::unique_ptr<Process>> handlers;
    std::mt19937 random(1234);
    for (int i = 0; i < HANDLERS; ++i) {
        // One line of 100 to 4000 bytes: one read, one write, one piece.
        std::string record = "trap " + std::to_string(i) + " ";
        record += std::string(100 + random() % 3900, static_cast<char>('a' + i % 26));
        record += "\n";
        records.push_back(record);
        handlers.push_back(std::make_unique<Process>(Launch{.input = record}));
    }
    for (auto &handler : handlers)
        EXPECT_EQ(handler->finish(-1).exit_code, 0);
    Outcome read = sink.finish(-1);
    EXPECT_EQ(read.exit_code, 0);

    // Each record goes in with its marker, in one write: the stream is the
    // records and their markers, in any order, nothing between them.
    std::string stream = read.out;
    for (const auto &record : records) {
        std::size_t at = stream.find(record + "\n");
        ASSERT_NE(at, std::string::npos) << "record lost, torn or apart from its marker: " << record.substr(0, 12);
        stream.erase(at, record.size() + 1);
    }
    EXPECT_EQ(stream, "");
}

// Random bytes of random length, from none to several chunks, fed through a
// pipe in random write sizes: the reader receives exactly the input and the
// marker. REDUZEZEZEV_TEST_SEED repeats a run.
TEST_F(RelayTest, RandomRoundTrips)
{
    const char *seed_text = std::getenv("REDUZEZEZEV_TEST_SEED");
    unsigned seed = seed_text != nullptr ? static_cast<unsigned>(std::strtoul(seed_text, nullptr, 10))
                                         : std::random_device{}();
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);
    constexpr int ROUNDS = 200;
    for (int round = 0; round < ROUNDS; ++round) {
        std::size_t size = random() % 4 == 0 ? random() % 16 : random() % 60000;
        std::string input = random_bytes(size, static_cast<unsigned>(random()));
        std::vector<std::size_t> pieces;
        for (int i = 0; i < 8; ++i)
            pieces.push_back(1 + random() % (random() % 2 ? 64 : 12000));
        Outcome o = run({.input = input, .stdin_kind = Stdin::pipe, .pieces = pieces});
        ASSERT_EQ(o.exit_code, 0) << "seed " << seed << ", round " << round;
        ASSERT_TRUE(o.fifo == input + "\n")
            << "seed " << seed << ", round " << round << ": " << size << " bytes in, "
            << o.fifo.size() << " out";
    }
}
