// The handler's promises when all goes well: what reaches the pipe, how the
// command line sets the trace level, and what the trace file holds.

#include "fixture.h"

#include <signal.h>

#include <ctime>
#include <regex>

using namespace harness;

namespace {

std::string pattern(std::size_t size)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 26);
    return text;
}

// A handler started between two readings stamps its lines with its C
// library's time(): the precise clock's seconds (musl) or the coarse
// clock's, which lag them by up to a tick (glibc). So the earliest stamp it
// can give is the coarse clock's before, the latest the precise clock's
// after.
std::time_t seconds(clockid_t clock)
{
    timespec now;
    clock_gettime(clock, &now);
    return now.tv_sec;
}

std::string all_byte_values(int rounds)
{
    std::string bytes;
    for (int r = 0; r < rounds; ++r)
        for (int b = 0; b < 256; ++b)
            bytes += static_cast<char>(b);
    return bytes;
}

}  // namespace

struct ForwardCase {
    const char *name;
    std::string input;
    Stdin kind;
    std::vector<std::size_t> pieces;
};

class Forwarding : public RelayTest,
                   public testing::WithParamInterface<ForwardCase> {};

// Every byte, unchanged and in order, then the one-byte end-of-data marker;
// nothing on standard output or error and, at level 0, no trace file.
TEST_P(Forwarding, PipeReceivesInputThenMarker)
{
    const ForwardCase &c = GetParam();
    Outcome o = run({.input = c.input, .stdin_kind = c.kind, .pieces = c.pieces});
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_TRUE(o.fifo == c.input + "\n")
        << "received " << o.fifo.size() << " bytes for " << c.input.size();
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_FALSE(exists(TRACE));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Forwarding,
    testing::Values(
        ForwardCase{"Empty", "", Stdin::file, {}},
        ForwardCase{"EmptyPipe", "", Stdin::pipe, {}},
        ForwardCase{"OneByte", "x", Stdin::file, {}},
        ForwardCase{"NoFinalNewline", "host\n127.0.0.1", Stdin::file, {}},
        ForwardCase{"FinalNewlineGivesEmptyLine", "host\n127.0.0.1\n", Stdin::file, {}},
        ForwardCase{"ZeroBytes", std::string("a\0b\0\0c", 6), Stdin::file, {}},
        ForwardCase{"OnlyZeroBytes", std::string(10000, '\0'), Stdin::file, {}},
        ForwardCase{"AllByteValues", all_byte_values(40), Stdin::file, {}},
        ForwardCase{"OneChunkExactly", pattern(8192), Stdin::file, {}},
        ForwardCase{"OneByteOverAChunk", pattern(8193), Stdin::file, {}},
        ForwardCase{"TwentyThousandFromFile", pattern(20000), Stdin::file, {}},
        ForwardCase{"PipeInSmallPieces", pattern(30000), Stdin::pipe, {1, 7, 4096, 13}},
        ForwardCase{"PipeInLargePieces", random_bytes(200000, 7), Stdin::pipe, {50000}},
        ForwardCase{"OneMebibyteThroughAPipe", random_bytes(1 << 20, 11), Stdin::pipe, {}}),
    testing::PrintToStringParamName());

// From a regular file the reads, and so the writes, come in chunks of 8192
// bytes; each is traced before it goes into the pipe.
TEST_F(RelayTest, ChunksOfAtMost8192Bytes)
{
    std::string input = pattern(20000);
    Outcome o = run({.args = {"-d", "1"}, .input = input});
    ASSERT_EQ(o.exit_code, 0);
    EXPECT_TRUE(o.fifo == input + "\n");
    EXPECT_EQ(trace_messages(),
              (std::vector<std::string>{STARTED, OPENED, chunk(input.substr(0, 8192)),
                                        chunk(input.substr(8192, 8192)),
                                        chunk(input.substr(16384)), EOD, TERMINATED}));
}

// A chunk is forwarded before the handler waits for the next: the reader has
// the first part of a trap while the rest has not been written yet. A stop
// of the trap receiver, which signals its handler too, does not cut it.
TEST_F(RelayTest, ForwardsAsItArrives)
{
    Process handler({.args = {"-d", "1"}, .stdin_kind = Stdin::pipe});
    handler.feed("first part\n");
    EXPECT_EQ(read_exactly(reader_, 11), "first part\n");
    kill(handler.pid(), SIGTERM);
    handler.feed("second part\n");
    EXPECT_EQ(read_exactly(reader_, 12), "second part\n");
    handler.close_input();
    Outcome o = handler.finish(reader_);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.fifo, "\n");
    EXPECT_EQ(trace_messages(),
              (std::vector<std::string>{STARTED, OPENED, chunk("first part\n"),
                                        chunk("second part\n"), EOD, TERMINATED}));
}

// The whole chunk goes into the pipe; only the trace's text stops at a zero.
TEST_F(RelayTest, ZeroByteEndsOnlyTheTracedText)
{
    std::string input("ab\0cd\n", 6);
    Outcome o = run({.args = {"-d", "1"}, .input = input});
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.fifo, input + "\n");
    EXPECT_EQ(trace_messages(),
              (std::vector<std::string>{STARTED, OPENED, chunk("ab"), EOD, TERMINATED}));
}

// The time stamp is local time as the system's zone files give it, the
// same as date(1) says: on either side of UTC, in zones that are on summer
// time now and zones that are not (whatever the season, the two
// hemispheres differ), and at offsets of a quarter and a half hour.
struct ZoneCase {
    const char *name;
    const char *zone;
};

class LocalTime : public RelayTest, public testing::WithParamInterface<ZoneCase> {};

TEST_P(LocalTime, AsDateSaysIt)
{
    const std::string tz = std::string("TZ=") + GetParam().zone;
    const std::string date = "env " + tz + " date +%Y%m%d.%H%M%S";
    std::string before = first_line_of(date + " -d @" + std::to_string(seconds(CLOCK_REALTIME_COARSE)));
    Outcome o = run({.args = {"-d", "1"}, .input = "trap\n", .env = {tz}});
    std::string after = first_line_of(date);
    ASSERT_EQ(o.exit_code, 0);
    auto lines = parse_trace(read_file(TRACE));
    ASSERT_EQ(lines.size(), 5u);
    for (const auto &line : lines) {
        EXPECT_GE(line.timestamp, before);
        EXPECT_LE(line.timestamp, after);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Zones, LocalTime,
    testing::Values(ZoneCase{"Utc", "UTC"}, ZoneCase{"Berlin", "Europe/Berlin"},
                    ZoneCase{"NewYork", "America/New_York"}, ZoneCase{"Sydney", "Australia/Sydney"},
                    ZoneCase{"Santiago", "America/Santiago"}, ZoneCase{"Kathmandu", "Asia/Kathmandu"},
                    ZoneCase{"StJohns", "America/St_Johns"}),
    testing::PrintToStringParamName());

// Every line: "YYYYmmdd.HHMMSS (reduzezezev-PID): message", in local time
// (a zone fourteen hours ahead of UTC, so that UTC cannot pass for it), the
// handler's own pid; the file is created once, mode 0600, and a chunk's
// own line breaks stand in it unchanged, so the closing quote of a chunk that
// ends in a newline opens the next text line.
TEST_F(RelayTest, TraceLineFormat)
{
    std::time_t before = seconds(CLOCK_REALTIME_COARSE);
    Outcome o = run({.args = {"-d", "1"}, .input = "line one\nline two\n",
                     .env = {"TZ=<+14>-14"}});
    std::time_t after = seconds(CLOCK_REALTIME);
    constexpr std::time_t AHEAD = 14 * 3600;
    before += AHEAD;
    after += AHEAD;
    ASSERT_EQ(o.exit_code, 0);

    std::string text = read_file(TRACE);
    EXPECT_NE(text.find(": Read line from stdin: 'line one\nline two\n'\n"), std::string::npos)
        << text;
    auto lines = parse_trace(text);
    ASSERT_EQ(lines.size(), 5u) << text;
    for (const auto &line : lines) {
        EXPECT_EQ(line.program, "reduzezezev");
        EXPECT_EQ(line.pid, o.pid);
        char earliest[24], latest[24];
        std::strftime(earliest, sizeof earliest, "%Y%m%d.%H%M%S", std::gmtime(&before));
        std::strftime(latest, sizeof latest, "%Y%m%d.%H%M%S", std::gmtime(&after));
        EXPECT_GE(line.timestamp, earliest);
        EXPECT_LE(line.timestamp, latest);
    }
    struct stat st;
    ASSERT_EQ(stat(TRACE, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Each trace line goes into the file in one write, the longest (a whole
// chunk's) too, and a chunk of many short lines as well: a write that
// fails costs that line and no other.
TEST_F(RelayTest, EachTraceLineIsOneWrite)
{
    const char strace[] = "/usr/bin/strace";
    if (const char *why = strace_unusable())
        GTEST_SKIP() << why;
    std::string log = std::string(RUN_DIR) + "/writes.strace";
    std::string short_lines;
    while (short_lines.size() < 20000)
        short_lines += "a short line\n";
    for (const std::string &input : {pattern(20000), short_lines.substr(0, 20000)}) {
        // LeakSanitizer, in a sanitizer build, cannot run under ptrace. musl's
        // stdio writes a buffer with writev.
        Outcome o = run({.args = {"-d", "1"}, .input = input,
                         .wrapper = {strace, "-qq", "-e", "trace=write,writev", "-e", "signal=none",
                                     "-o", log},
                         .env = {"ASAN_OPTIONS=detect_leaks=0"}});
        ASSERT_EQ(o.exit_code, 0) << o.err;
        EXPECT_TRUE(o.fifo == input + "\n");
        // At level 1 the trace file is created first: descriptor 3, then the pipe.
        std::string calls = read_file(log.c_str());
        auto count = [&](const char *prefix) {
            std::size_t n = 0;
            for (std::size_t at = 0; (at = calls.find(prefix, at)) != std::string::npos; ++at)
                n += at == 0 || calls[at - 1] == '\n';
            return n;
        };
        EXPECT_EQ(count("write(3,") + count("writev(3,"), trace_messages().size()) << calls;
        EXPECT_EQ(count("write(4,"), 3u) << "three chunks, the last with the marker";
        remove_all(TRACE);
    }
    remove_all(log.c_str());
}

// What "-d LEVEL" does: below 0 nothing is traced, 0 traces failures only,
// 1 and more trace every step. Any other command line leaves the level at 0.
enum class Level { silent, failures, progress };

struct LevelCase {
    const char *name;
    std::vector<std::string> args;
    Level level;
};

class CommandLine : public RelayTest, public testing::WithParamInterface<LevelCase> {};

TEST_P(CommandLine, SetsTheTraceLevel)
{
    const LevelCase &c = GetParam();
    Outcome ok = run({.args = c.args, .input = "trap\n"});
    EXPECT_EQ(ok.exit_code, 0);
    EXPECT_EQ(ok.fifo, "trap\n\n");
    if (c.level == Level::progress)
        EXPECT_EQ(trace_messages(),
                  (std::vector<std::string>{STARTED, OPENED, chunk("trap\n"), EOD, TERMINATED}));
    else
        EXPECT_FALSE(exists(TRACE));

    remove_all(TRACE);
    drop_reader();
    Outcome failed = run({.args = c.args, .input = "trap\n"});
    EXPECT_EQ(failed.exit_code, 1);
    std::vector<std::string> expected;
    if (c.level == Level::progress)
        expected.push_back(STARTED);
    if (c.level != Level::silent)
        expected.push_back(pipe_message("Error opening", error_text(ENXIO)));
    EXPECT_EQ(trace_messages(), expected);
    EXPECT_EQ(exists(TRACE), c.level != Level::silent);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CommandLine,
    testing::Values(
        LevelCase{"NoArguments", {}, Level::failures},
        LevelCase{"DAlone", {"-d"}, Level::failures},
        LevelCase{"ValueJoined", {"-d5"}, Level::failures},
        LevelCase{"OtherOption", {"-x", "1"}, Level::failures},
        LevelCase{"OptionWithMore", {"-dx", "1"}, Level::failures},
        LevelCase{"OptionWithSpace", {"-d ", "1"}, Level::failures},
        LevelCase{"LongOption", {"--d", "1"}, Level::failures},
        LevelCase{"CapitalD", {"-D", "1"}, Level::failures},
        LevelCase{"EmptyFirst", {"", "1"}, Level::failures},
        LevelCase{"NotANumber", {"-d", "abc"}, Level::failures},
        LevelCase{"Empty", {"-d", ""}, Level::failures},
        LevelCase{"Zero", {"-d", "0"}, Level::failures},
        LevelCase{"One", {"-d", "1"}, Level::progress},
        LevelCase{"TwoAndMore", {"-d", "2", "more", "args"}, Level::progress},
        LevelCase{"SpaceAndSign", {"-d", " \t+1"}, Level::progress},
        LevelCase{"TrailingText", {"-d", "1abc"}, Level::progress},
        LevelCase{"DecimalNotHex", {"-d", "0x1"}, Level::failures},
        LevelCase{"DecimalNotOctal", {"-d", "09"}, Level::progress},
        LevelCase{"MinusOne", {"-d", "-1"}, Level::silent},
        LevelCase{"MinusZero", {"-d", "-0"}, Level::failures},
        LevelCase{"Low32BitsOne", {"-d", "4294967297"}, Level::progress},
        LevelCase{"Low32BitsMinusOne", {"-d", "4294967295"}, Level::silent},
        LevelCase{"Low32BitsZero", {"-d", "4294967296"}, Level::failures},
        LevelCase{"Int32MinAfterWrap", {"-d", "2147483648"}, Level::silent},
        LevelCase{"Int32Max", {"-d", "2147483647"}, Level::progress},
        LevelCase{"OverflowGivesLongMax", {"-d", "99999999999999999999"}, Level::silent},
        LevelCase{"UnderflowGivesLongMin", {"-d", "-99999999999999999999"}, Level::failures}),
    testing::PrintToStringParamName());
