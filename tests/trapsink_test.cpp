// The stand-in reader: what it makes of the path it is given, how it frames
// what arrives, and that one reader at a time holds the pipe, across
// restarts too when the pipe is held for it as systemd holds a socket's.

#include "fixture.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <cstdint>
#include <cstring>
#include <thread>

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

// One journal entry as the journal's socket receives it, a field a line
// (see received_entries): a trap's text and the fields its text gives.
std::string entry(const std::string &text, const std::string &fields = "")
{
    return "MESSAGE=" + text + "\nPRIORITY=5\nSYSLOG_IDENTIFIER=trapsink\n" + fields + "\n";
}

// Everything the journal's socket has received: each datagram, or the file
// passed with it for one too large for a datagram, is an entry of fields in
// the journal's native protocol, "NAME=value\n" or, for a value of any
// bytes, "NAME\n", its size in 64 bits little-endian, the value and "\n".
// Each field is given as "NAME=value\n" and each entry ends in an empty line.
std::string received_entries(int socket)
{
    std::string entries;
    static char data[1 << 20];
    for (;;) {
        char control[CMSG_SPACE(sizeof(int))];
        iovec part{data, sizeof data};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = recvmsg(socket, &message, MSG_DONTWAIT);
        if (n < 0)
            return entries;
        std::string fields(data, static_cast<std::size_t>(n));
        if (cmsghdr *passed = CMSG_FIRSTHDR(&message); passed != nullptr && passed->cmsg_type == SCM_RIGHTS) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(passed), sizeof fd);
            fields = read_file(("/proc/self/fd/" + std::to_string(fd)).c_str());
            close(fd);
        }
        for (std::size_t at = 0; at < fields.size();) {
            std::size_t end = fields.find('\n', at);
            std::string name = fields.substr(at, end - at);
            if (name.find('=') != std::string::npos) {
                entries += name + "\n";
                at = end + 1;
                continue;
            }
            std::uint64_t size;
            std::memcpy(&size, fields.data() + end + 1, sizeof size);
            entries += name + "=" + fields.substr(end + 1 + sizeof size, size) + "\n";
            at = end + 1 + sizeof size + size + 1;
        }
        entries += "\n";
    }
}

// What a trapsink built without libsystemd says where systemd would have it
// take a passed FIFO, or write to the journal.
const char WITHOUT_ACTIVATION[] = "trapsink: built without libsystemd: cannot take the FIFO that systemd passes\n";
const char WITHOUT_JOURNAL[] = "trapsink: built without libsystemd: traps are printed, not sent to the journal\n";

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

// What trapsink makes of its path and options, run with "-n 0" and the path
// (unless operand is false) so that it exits as soon as it holds the pipe. A
// malformed value is a usage error (status 2) before anything is touched;
// anything but a FIFO is named and left as it is (status 1).
enum class At { nothing, fifo, file };
// The FIFO at the path passed as systemd passes a socket unit's, as
// descriptor 3 with LISTEN_FDS and LISTEN_PID: held for reading and writing
// as systemd holds it, or for reading only.
enum class Passed { no, read_write, read_only };

struct StartCase {
    const char *name;
    At at;                          // made 0640, a file with text
    std::vector<std::string> args;  // "-n 0" and the path follow
    int status;
    const char *says;               // on standard error
    mode_t mode;                    // at the path afterwards; 0: nothing
    bool group;                     // of GROUP afterwards, else the tests' own
    std::vector<std::string> env = {};
    Passed passed = Passed::no;
    bool operand = true;
    unsigned closed_fds = 0;
    std::vector<std::string> wrapper = {};
};

class TrapsinkStarts : public TrapsinkTest, public testing::WithParamInterface<StartCase> {};

TEST_P(TrapsinkStarts, WithThePathAsAsked)
{
    const StartCase &c = GetParam();
    if (!c.wrapper.empty()) {
        const char *why = c.wrapper[0].ends_with("strace") ? strace_unusable()
                          : getuid() != 0 ? "a group database of the test's own needs a mount namespace, and so root"
                                          : nullptr;
        if (why != nullptr)
            GTEST_SKIP() << why;
    }
    if (c.at == At::fifo) {
        ASSERT_EQ(mkfifo(PIPE, 0640), 0);
    } else if (c.at == At::file) {
        write_file(PIPE, "not a pipe\n");
    }
    int passed = c.passed == Passed::no ? -1
                 : open(PIPE, (c.passed == Passed::read_only ? O_RDONLY : O_RDWR) | O_NONBLOCK
                                  | O_CLOEXEC);
    // A trapsink built without libsystemd refuses what systemd passes, and
    // says why.
    const bool refused = c.passed != Passed::no && !TEST_TRAPSINK_SYSTEMD;
    std::vector<std::string> args = c.args;
    if (c.operand)
        args.insert(args.end(), {"-n", "0", PIPE});
    Outcome o = harness::run({.program = TRAPSINK, .args = args, .closed_fds = c.closed_fds,
                              .wrapper = c.wrapper, .env = c.env, .listen_fd = passed},
                             -1);
    if (passed >= 0)
        close(passed);
    EXPECT_EQ(o.exit_code, refused ? 1 : c.status);
    EXPECT_NE(o.err.find(refused ? WITHOUT_ACTIVATION : c.says), std::string::npos) << o.err;
    if (!refused && *c.says == '\0') {
        EXPECT_EQ(o.err, "");
    }
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

// The group database made unreadable for the one lookup: glibc reads
// nsswitch.conf first. (LeakSanitizer cannot run under strace.)
const std::vector<std::string> GROUP_DATABASE_FAILS{
    "/usr/bin/strace", "-f", "-o", "/dev/null", "-P", "/etc/nsswitch.conf", "-e", "inject=openat:error=EIO"};
// A group of GROUP_ID with a member list of 4 KB, in a group database of the
// program's own mount namespace (so as root only).
const std::vector<std::string> CROWDED_GROUP{
    "/usr/bin/unshare", "-m", "/bin/sh", "-c",
    "f=" + std::string(RUN_DIR) + "/group && { cat /etc/group; printf 'crowd:x:" + GROUP
        + ":%s\\n' \"$(seq -s, -f member%g 400)\"; } >$f && mount --bind $f /etc/group && exec \"$0\" \"$@\""};
const std::vector<std::string> DEV_NULL_REFUSED{
    "/usr/bin/strace", "-f", "-o", "/dev/null", "-P", "/dev/null", "-e", "inject=openat:error=EACCES"};

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
        StartCase{"DescriptorNotOpen", At::nothing, {"-N", "9"}, 1,
                  "Error writing to 'descriptor 9' [Bad file descriptor]", S_IFIFO | 0600, false},
        StartCase{"ModeNotOctal", At::nothing, {"-m", "0680"}, 2, "usage:", 0, false},
        StartCase{"ModeBeyondPermissions", At::nothing, {"-m", "4755"}, 2, "usage:", 0, false},
        StartCase{"GroupBeyondItsType", At::nothing, {"-g", "4294967296"}, 2, "usage:", 0, false},
        StartCase{"SecondOperand", At::nothing, {"extra"}, 2, "usage:", 0, false},
        StartCase{"NoOperand", At::nothing, {}, 2, "usage:", 0, false, {}, Passed::no, false},
        StartCase{"UnknownGroup", At::nothing, {"-g", "no-such-group-here"}, 2, "no group", 0, false},
        StartCase{"GroupLookupFails", At::nothing, {"-g", "daemon"}, 1,
                  "Error looking up group 'daemon' [Input/output error]", 0, false,
                  {"ASAN_OPTIONS=detect_leaks=0"}, Passed::no, true, 0, GROUP_DATABASE_FAILS},
        StartCase{"GroupWithManyMembers", At::nothing, {"-g", "crowd"}, 0, "", S_IFIFO | 0600, true, {},
                  Passed::no, true, 0, CROWDED_GROUP},
        // Taking the pipe away (-R): nothing there, nothing to do; anything but
        // a FIFO left as it is; held for writing too, so no end of file comes
        // though no handler holds it; no mode or group to set.
        StartCase{"TakeAwayNothingThere", At::nothing, {"-R"}, 0, "", 0, false},
        StartCase{"TakeAwayLeavesAFile", At::file, {"-R"}, 1, "is a regular file, not a FIFO", S_IFREG | 0644,
                  false},
        StartCase{"TakeAwayWithoutWriters", At::fifo, {"-R", PIPE}, 0, "", 0, false, {}, Passed::no, false},
        StartCase{"TakeAwayWithMode", At::fifo, {"-R", "-m", "0620"}, 2, "usage:", S_IFIFO | 0640, false},
        StartCase{"TakeAwayWithGroup", At::fifo, {"-R", "-g", GROUP}, 2, "usage:", S_IFIFO | 0640, false},
        StartCase{"StandardOutputClosed", At::nothing, {}, 1,
                  "Error writing to 'standard output' [Bad file descriptor]", 0, false, {},
                  Passed::no, true, 1u << 1},
        StartCase{"DevNullRefusedForClosedStandardError", At::nothing, {}, 1, "", 0, false,
                  {"ASAN_OPTIONS=detect_leaks=0"}, Passed::no, true, 1u << 2, DEV_NULL_REFUSED},
        StartCase{"PassedToAnotherProcess", At::nothing, {}, 0, "", S_IFIFO | 0600, false,
                  {"LISTEN_FDS=1", "LISTEN_PID=1"}},
        StartCase{"PassedWithoutOperand", At::fifo, {"-n", "0"}, 0, "", S_IFIFO | 0640, false, {},
                  Passed::read_write, false},
        StartCase{"PassedTwo", At::fifo, {}, 1, "LISTEN_FDS=2: expected the one FIFO",
                  S_IFIFO | 0640, false, {"LISTEN_FDS=2"}, Passed::read_write},
        StartCase{"PassedWithoutWriteEnd", At::fifo, {}, 1,
                  "'descriptor 3' ended: nothing holds it open for writing", S_IFIFO | 0640, false,
                  {}, Passed::read_only, false}),
    testing::PrintToStringParamName());

// Whatever comes through the pipe, in whatever amounts, is framed exactly:
// every record counted and sized, nothing printed past COUNT; with
// standard output a service's journal stream, every record is one journal
// entry (out: what the journal's socket received), or, where the journal
// is away, printed as when run by hand. Without a COUNT the reader is
// stopped (SIGTERM) once the expected output is in, or as stop says: it
// prints what it has read and what waits, waits for the end of a trap that
// has begun, and exits 0. A standard output that takes only out_limit
// bytes ends it with status 1 once they are in, wherever in a read that
// falls; a data limit is met only by a reader that keeps what it no longer
// needs.
enum class Journal { none, present, away };
enum class Stop {
    at_output,           // once the expected output is in
    with_traps_waiting,  // right after the input went in while it was held up
    while_writing,       // while its standard output, full, holds it up
    before_marker,       // by SIGINT between a trap's text, which waits whole
                         // in the pipe, and its marker, which follows within
                         // the wait
    stalled,             // after a trap's text whose marker never comes
};

struct FrameCase {
    const char *name;
    std::vector<std::string> args;
    std::string input;  // written into the pipe
    std::string out;
    Stop stop = Stop::at_output;
    rlim_t out_limit = 0;
    Journal journal = Journal::none;
    std::string err = "";
    std::vector<std::string> env = {};
    unsigned closed_fds = 0;
    rlim_t data_limit = 0;
    int repeat = 1;  // input and out, this many times over
    std::vector<std::string> wrapper = {};
    int status = 0;
};

class TrapsinkFrames : public TrapsinkTest, public testing::WithParamInterface<FrameCase> {};

TEST_P(TrapsinkFrames, ExactlyWhatArrived)
{
    const FrameCase &c = GetParam();
    if (c.journal != Journal::none && getuid() != 0)
        GTEST_SKIP() << "a journal of the test's own needs a mount namespace, and so root";
    std::string journal_dir = std::string(RUN_DIR) + "/journal";
    remove_all(journal_dir.c_str());
    int journal = -1;
    if (c.journal != Journal::none) {
        ASSERT_EQ(mkdir(journal_dir.c_str(), 0755), 0);
        sockaddr_un address{.sun_family = AF_UNIX};
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s/socket", journal_dir.c_str());
        journal = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (c.journal == Journal::present) {
            ASSERT_EQ(bind(journal, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        }
    }
    Launch launch = trapsink(c.args);
    launch.journal = c.journal != Journal::none;
    launch.env = c.env;
    launch.closed_fds = c.closed_fds;
    launch.wrapper = c.wrapper;
    if (!c.wrapper.empty() && !exists(c.wrapper[0].c_str()))
        GTEST_SKIP() << c.wrapper[0] << " is not installed";
    if (c.out_limit > 0) {
        launch.out_to_file = true;
        launch.limit_resource = RLIMIT_FSIZE;
        launch.limit = c.out_limit;
    }
    if (c.data_limit > 0) {
        if (TEST_SANITIZED)
            GTEST_SKIP() << "the sanitizers' shadow memory is past any data limit";
        launch.limit_resource = RLIMIT_DATA;
        launch.limit = c.data_limit;
    }
    std::string input, expected;
    for (int i = 0; i < c.repeat; ++i) {
        input += c.input;
        expected += c.out;
    }
    if (c.stop == Stop::at_output)
        launch.input = input;
    Process sink(launch);
    // The journal's socket is read while the reader runs, as the journal
    // reads it: a socket left unread holds back its sender.
    std::string entries;
    std::atomic<bool> ended = false;
    std::thread journal_reader([&] {
        while (journal >= 0 && !ended) {
            pollfd ready{journal, POLLIN, 0};
            poll(&ready, 1, 10);
            entries += received_entries(journal);
        }
    });
    auto pause = [] { poll(nullptr, 0, 200); };
    switch (c.stop) {
    case Stop::at_output: break;
    case Stop::with_traps_waiting:
        kill(sink.pid(), SIGSTOP);
        sink.feed(input);
        kill(sink.pid(), SIGTERM);
        kill(sink.pid(), SIGCONT);
        break;
    case Stop::while_writing:
    case Stop::stalled:
        sink.feed(input);
        pause();
        kill(sink.pid(), SIGTERM);
        pause();  // before standard output is read, and so makes room
        break;
    case Stop::before_marker:
        kill(sink.pid(), SIGSTOP);
        sink.feed(input.substr(0, input.size() - 1));
        kill(sink.pid(), SIGCONT);
        pause();
        kill(sink.pid(), SIGINT);
        pause();
        sink.feed(input.substr(input.size() - 1));
        break;
    }
    bool counted = std::find(c.args.begin(), c.args.end(), "-n") != c.args.end();
    Outcome o = sink.finish(-1, counted || c.out_limit > 0 || c.stop != Stop::at_output
                                    ? std::string::npos
                                    : expected.size());
    ended = true;
    journal_reader.join();
    if (journal >= 0)
        entries += received_entries(journal);
    EXPECT_EQ(o.exit_code, c.out_limit > 0 ? 1 : c.status);
    if (c.journal != Journal::none && !TEST_TRAPSINK_SYSTEMD) {
        // It prints the records, having said that it cannot send them.
        EXPECT_EQ(o.err, c.closed_fds & 4u ? "" : WITHOUT_JOURNAL);
        EXPECT_EQ(entries, "");
        EXPECT_NE(o.out, "");
    } else {
        EXPECT_EQ(o.err, c.err);
        std::string out = o.out;
        if (c.journal == Journal::present) {
            EXPECT_EQ(o.out, "");
            out = entries;
        }
        EXPECT_TRUE(out == expected) << out.size() << " bytes out for " << expected.size()
                                     << ":\n" << out.substr(0, 300);
    }
    if (journal >= 0)
        close(journal);
    remove_all(journal_dir.c_str());
}

const std::string TRAP_9K = "host\n" + std::string(9000, 'v') + "\n";
const std::string TRAP_600K = "host\naddress\n" + std::string(600000, 's') + "\n";  // streamed as it comes
const std::string WRITE_FAILED = "trapsink: Error writing to 'standard output' [File too large]\n";
// A trap as snmptrapd hands it to a handler, and the fields it gives.
const std::string HEAD = "router.example\nUDP: [192.0.2.1]:1024->[192.0.2.2]:162\n"
                         "DISMAN-EVENT-MIB::sysUpTimeInstance 0:0:01:00.00\n";
const std::string HEAD_FIELDS =
    "TRAP_HOST=router.example\nTRAP_ADDRESS=UDP: [192.0.2.1]:1024->[192.0.2.2]:162\nTRAP_SOURCE=192.0.2.1\n";
// Transport addresses over udp6, and with no IP address in them.
const std::string UDP6 = "<UNKNOWN>\nUDP/IPv6: [::1]:35027\n";
// A name in the brackets, though it starts as an address could.
const std::string NO_IP = "host\nTCP: [beef.example]:162\n";
const std::string LINK_DOWN = HEAD + "SNMPv2-MIB::snmpTrapOID.0 IF-MIB::linkDown\nIF-MIB::ifIndex.2 2\n";
const std::string LINK_DOWN_FIELDS = HEAD_FIELDS + "TRAP_OID=IF-MIB::linkDown\n";
// The trap OID's name as -Of, -Os and -On without its leading dot give it.
const std::string FULL_NAME = HEAD + ".iso.org.dod.internet.snmpV2.snmpModules.snmpMIB.snmpMIBObjects"
                                     ".snmpTrap.snmpTrapOID.0 a\n";
const std::string BARE_NAME = HEAD + "snmpTrapOID.0 b\n";
const std::string NUMERIC_NAME = HEAD + "1.3.6.1.6.3.1.1.4.1.0 c\n";
const std::string NUL_IN_NAME = HEAD + std::string("X-MIB::ifDescr.1\0snmpTrapOID.0 v\n", 33);
const std::string TRAP_1K = "host\n" + std::string(1000, 'a') + "\n";
const std::string BINARY = "host\n" + std::string("a\0b\xff\r\x01", 6) + "\n";
// A pipe's device with another pipe's inode: a stream like the journal's,
// but not standard output.
const std::string ANOTHER_PIPE = [] {
    int fds[2];
    struct stat st {};
    if (pipe(fds) == 0) {
        fstat(fds[0], &st);
        close(fds[0]);
        close(fds[1]);
    }
    return "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}();
// Started with SIGTERM blocked; with its standard output a pipe that nobody
// reads any more, and the broken-pipe signal at its default.
const std::string EXEC = "os.execv(sys.argv[1], sys.argv[1:])";
const std::vector<std::string> TERM_BLOCKED = {
    "/usr/bin/python3", "-c", "import os, signal, sys; signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM}); " + EXEC};
const std::vector<std::string> OUTPUT_GONE = {
    "/usr/bin/python3", "-c", "import os, signal, sys; signal.signal(signal.SIGPIPE, signal.SIG_DFL); r, w = os.pipe(); "
    "os.close(r); os.dup2(w, 1); " + EXEC};

INSTANTIATE_TEST_SUITE_P(
    Streams, TrapsinkFrames,
    testing::Values(
        FrameCase{"OneTrap", {"-n", "1"}, "host\nline two\n\n", framed(1, "host\nline two\n")},
        FrameCase{"EmptyTrap", {"-n", "1"}, "\n", framed(1, "")},
        FrameCase{"CountInDecimal", {"-n", "010"}, std::string(12, '\n'), empty_records(10)},
        FrameCase{"ThirtyThousandEmptyTraps", {"-n", "30000"}, std::string(30000, '\n'),
                  empty_records(30000)},
        FrameCase{"OneMebibyteTrap", {"-n", "1"}, std::string(1 << 20, 'a') + "\n\n",
                  framed(1, std::string(1 << 20, 'a') + "\n")},
        FrameCase{"NothingPastCount", {"-n", "2"}, "a\n\nb\n\nc\n\n", framed(1, "a\n") + framed(2, "b\n")},
        FrameCase{"RawNothingPastCount", {"-r", "-n", "1"}, "a\n\nb\n\n", "a\n\n"},
        FrameCase{"EndsInsideATrap", {}, "a\n\nb", framed(1, "a\n") + "=== trap 2 ===\nb", Stop::stalled},
        FrameCase{"StopPrintsWhatWaits", {}, "a\n\nb\n\n" + TRAP_9K + "\n",
                  framed(1, "a\n") + framed(2, "b\n") + framed(3, TRAP_9K), Stop::with_traps_waiting},
        FrameCase{"RawStopPrintsWhatWaits", {"-r"}, std::string(200000, '\n'),
                  std::string(200000, '\n'), Stop::with_traps_waiting},
        FrameCase{"FailedFlush", {"-n", "1"}, "a\n\n", framed(1, "a\n").substr(0, 10), Stop::at_output, 10,
                  Journal::none, WRITE_FAILED},
        FrameCase{"FailedWriteInARead", {"-n", "3"}, TRAP_9K + "\n" + TRAP_9K + "\n" + TRAP_9K + "\n",
                  (framed(1, TRAP_9K) + framed(2, TRAP_9K)).substr(0, 15000), Stop::at_output, 15000,
                  Journal::none, WRITE_FAILED},
        FrameCase{"RawFailedWriteInARead", {"-r", "-n", "3"},
                  TRAP_9K + "\n" + TRAP_9K + "\n" + TRAP_9K + "\n",
                  (TRAP_9K + "\n" + TRAP_9K).substr(0, 15000), Stop::at_output, 15000, Journal::none,
                  WRITE_FAILED},
        FrameCase{"JournalTraps", {"-n", "2"}, LINK_DOWN + "\n" + LINK_DOWN + "\n",
                  entry(LINK_DOWN, LINK_DOWN_FIELDS) + entry(LINK_DOWN, LINK_DOWN_FIELDS),
                  Stop::at_output, 0, Journal::present},
        FrameCase{"JournalNumericOid", {"-n", "1"},
                  HEAD + ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.6.3.1.1.5.3\n\n",
                  entry(HEAD + ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.6.3.1.1.5.3\n",
                        HEAD_FIELDS + "TRAP_OID=.1.3.6.1.6.3.1.1.5.3\n"),
                  Stop::at_output, 0, Journal::present},
        FrameCase{"JournalOidWithoutMib", {"-r", "-n", "1"},
                  HEAD + "iso.3.6.1.6.3.1.1.4.1.0 iso.3.6.1.6.3.1.1.5.3\n\n",
                  entry(HEAD + "iso.3.6.1.6.3.1.1.4.1.0 iso.3.6.1.6.3.1.1.5.3\n",
                        HEAD_FIELDS + "TRAP_OID=iso.3.6.1.6.3.1.1.5.3\n"),
                  Stop::at_output, 0, Journal::present},
        FrameCase{"JournalOnlyTheTrapOid", {"-n", "1"}, HEAD + "X-MIB::notsnmpTrapOID.0 x\n\n",
                  entry(HEAD + "X-MIB::notsnmpTrapOID.0 x\n", HEAD_FIELDS), Stop::at_output, 0,
                  Journal::present},
        FrameCase{"JournalHostOnly", {"-n", "2"}, "\nhost\n\n",
                  entry("") + entry("host\n", "TRAP_HOST=host\n"), Stop::at_output, 0, Journal::present},
        FrameCase{"JournalAnyBytes", {"-n", "1"}, BINARY + "\n",
                  entry(BINARY, "TRAP_HOST=host\nTRAP_ADDRESS=" + BINARY.substr(5, 6) + "\n"), Stop::at_output,
                  0, Journal::present},
        FrameCase{"JournalLargerThanADatagram", {"-n", "1"}, "host\n" + std::string(300000, 'x') + "\n\n",
                  entry("host\n" + std::string(300000, 'x') + "\n",
                        "TRAP_HOST=host\nTRAP_ADDRESS=" + std::string(300000, 'x') + "\n"),
                  Stop::at_output, 0, Journal::present},
        FrameCase{"StreamOfAnother", {"-n", "1"}, "a\n\n", framed(1, "a\n"), Stop::at_output, 0, Journal::none,
                  "", {"JOURNAL_STREAM=1:1"}},
        FrameCase{"StreamOfAnotherPipe", {"-n", "1"}, "a\n\n", framed(1, "a\n"), Stop::at_output, 0, Journal::none,
                  "", {ANOTHER_PIPE}},
        FrameCase{"JournalAway", {"-n", "1"}, "a\n\n", framed(1, "a\n"), Stop::at_output, 0, Journal::away,
                  "trapsink: Error sending trap 1 to the journal [No such file or directory]: "
                  "printed instead\n"},
        // Where standard error was closed, its message does not run into the pipe.
        FrameCase{.name = "JournalAwayStandardErrorClosed", .input = "a\n\n", .out = framed(1, "a\n"),
                  .journal = Journal::away, .closed_fds = 1u << 2},
        FrameCase{.name = "StopBetweenTextAndMarker", .input = "host\nline\n\n",
                  .out = framed(1, "host\nline\n"), .stop = Stop::before_marker},
        FrameCase{.name = "JournalStopWaitsForTheEndOfAStreamedTrap", .input = TRAP_600K + "\n",
                  .out = entry(TRAP_600K, "TRAP_HOST=host\nTRAP_ADDRESS=address\n"),
                  .stop = Stop::before_marker, .journal = Journal::present},
        FrameCase{.name = "JournalStopBetweenTextAndMarker", .input = LINK_DOWN + "\n",
                  .out = entry(LINK_DOWN, LINK_DOWN_FIELDS), .stop = Stop::before_marker,
                  .journal = Journal::present},
        FrameCase{.name = "JournalStopSendsAStalledTrap", .input = LINK_DOWN,
                  .out = entry(LINK_DOWN, LINK_DOWN_FIELDS), .stop = Stop::stalled,
                  .journal = Journal::present},
        FrameCase{.name = "StopWithTermBlockedAtStart", .input = "a\n\n", .out = framed(1, "a\n"),
                  .stop = Stop::with_traps_waiting, .wrapper = TERM_BLOCKED},
        FrameCase{.name = "ReaderOfOutputGone", .args = {"-n", "1"}, .input = "a\n\n", .out = "",
                  .err = "trapsink: Error writing to 'standard output' [Broken pipe]\n", .wrapper = OUTPUT_GONE,
                  .status = 1},
        FrameCase{.name = "RawStopWhileWriting", .args = {"-r"}, .input = std::string(200000, '\n'),
                  .out = std::string(200000, '\n'), .stop = Stop::while_writing},
        FrameCase{.name = "JournalEveryNameOfTheTrapOid", .args = {"-n", "3"},
                  .input = FULL_NAME + "\n" + BARE_NAME + "\n" + NUMERIC_NAME + "\n",
                  .out = entry(FULL_NAME, HEAD_FIELDS + "TRAP_OID=a\n")
                         + entry(BARE_NAME, HEAD_FIELDS + "TRAP_OID=b\n")
                         + entry(NUMERIC_NAME, HEAD_FIELDS + "TRAP_OID=c\n"),
                  .journal = Journal::present},
        FrameCase{.name = "JournalSourceOverUdp6AndNone", .args = {"-n", "2"},
                  .input = UDP6 + "\n" + NO_IP + "\n",
                  .out = entry(UDP6, "TRAP_HOST=<UNKNOWN>\nTRAP_ADDRESS=UDP/IPv6: [::1]:35027\nTRAP_SOURCE=::1\n")
                         + entry(NO_IP, "TRAP_HOST=host\nTRAP_ADDRESS=TCP: [beef.example]:162\n"),
                  .journal = Journal::present},
        FrameCase{.name = "JournalNulBeforeTheName", .args = {"-n", "1"}, .input = NUL_IN_NAME + "\n",
                  .out = entry(NUL_IN_NAME, HEAD_FIELDS), .journal = Journal::present},
        FrameCase{.name = "JournalFirstTrapOidOnly", .args = {"-n", "1"},
                  .input = LINK_DOWN + "SNMPv2-MIB::snmpTrapOID.0 IF-MIB::linkUp\n\n",
                  .out = entry(LINK_DOWN + "SNMPv2-MIB::snmpTrapOID.0 IF-MIB::linkUp\n", LINK_DOWN_FIELDS),
                  .journal = Journal::present},
        FrameCase{.name = "JournalFieldsDoNotPileUp", .args = {"-n", "20000"}, .input = TRAP_1K + "\n",
                  .out = entry(TRAP_1K, "TRAP_HOST=host\nTRAP_ADDRESS=" + TRAP_1K.substr(5, 1000) + "\n"),
                  .journal = Journal::present, .data_limit = 16 << 20, .repeat = 20000}),
    testing::PrintToStringParamName());

// A second trapsink on a pipe that one reads is refused at once, and the
// first loses nothing; it holds the pipe's write end too, so that it runs on
// between handlers until it is stopped.
TEST_F(TrapsinkTest, OneReaderAtATime)
{
    Process first(trapsink({"-r"}));
    int pipe_size = fcntl(reader_ = open(PIPE, O_RDONLY | O_NONBLOCK | O_CLOEXEC), F_GETPIPE_SZ);
    EXPECT_EQ(pipe_size, 1 << 20) << "the pipe is enlarged";
    drop_reader();
    // Refused before it says it is ready (on its standard output here) or
    // touches the pipe's mode.
    Outcome second =
        harness::run({.program = TRAPSINK, .args = {"-N", "1", "-m", "0666", "-n", "0", PIPE}}, -1);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_EQ(second.err, std::string("trapsink: '") + PIPE + "' is read by another trapsink already\n");
    EXPECT_EQ(second.out, "");
    struct stat st;
    ASSERT_EQ(stat(PIPE, &st), 0);
    EXPECT_EQ(st.st_mode, S_IFIFO | 0600);
    std::string sent;
    for (const char *trap : {"one\n", "two\n", "three\n"}) {
        EXPECT_EQ(harness::run({.input = trap}, -1).exit_code, 0);
        sent += std::string(trap) + "\n";
    }
    // -N's descriptor is closed once written: 4 is taken again, by an end of the FIFO's copy.
    std::string fds = "/proc/" + std::to_string(first.pid()) + "/fd/";
    auto ready = std::filesystem::read_symlink(fds + "4");
    int ends = 0;
    for (const auto &fd : std::filesystem::directory_iterator(fds))
        ends += std::filesystem::read_symlink(fd.path()) == ready ? 1 : 0;
    EXPECT_EQ(ends, 2) << ready;
    auto stop = std::chrono::steady_clock::now();
    Outcome o = first.finish(-1, sent.size());
    EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::milliseconds(500)) << "idle, it stops at once";
    EXPECT_EQ(o.exit_code, 0) << "stopped, it ends well: " << o.err;
    EXPECT_EQ(o.out, sent);
}

// What systemd does for a socket unit with ListenFIFO=: the FIFO is made and
// held open read-write, and handed as descriptor 3 to trapsink, which runs
// unprivileged and never opens the path. Traps written while it is stopped
// wait in the pipe; after a restart every trap has arrived once, in order.
TEST_F(TrapsinkTest, RestartLosesNothingWhileThePipeIsHeld)
{
    if (!TEST_TRAPSINK_SYSTEMD)
        GTEST_SKIP() << "trapsink is built without libsystemd: it takes no FIFO from systemd";
    ASSERT_EQ(mkfifo(PIPE, 0600), 0);
    int held = open(PIPE, O_RDWR | O_CLOEXEC);  // blocking: a stop must not wait in a read
    ASSERT_GE(held, 0);
    const Launch activated{.program = TRAPSINK, .args = {"-r", "-N", "4"}, .ready_fd = 4,
                           .listen_fd = held, .unprivileged = true};
    int serial = 0;
    auto send = [&serial](int count, std::size_t filler = 0) {
        std::string sent;
        for (int i = 0; i < count; ++i) {
            std::string trap = "trap " + std::to_string(++serial) + "\n" + std::string(filler, 'x')
                               + (filler > 0 ? "\n" : "") + "UDP: [192.0.2.1]\n";
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
        EXPECT_EQ(o.exit_code, 0) << o.err;
        EXPECT_EQ(o.out, before);
    }
    while_stopped = send(20);
    Process sink(activated);
    std::string after = send(20);
    Outcome o = sink.finish(-1, while_stopped.size() + after.size());
    EXPECT_EQ(o.exit_code, 0) << o.err;
    EXPECT_EQ(o.out, while_stopped + after);
    // Killed outright while its output is held up, with many traps read at
    // once, it loses nothing: what it had not delivered waits in the pipe,
    // and the next one starts at a record (the one it was delivering may
    // come again).
    Process killed(activated);
    kill(killed.pid(), SIGSTOP);
    std::string sent = send(60, 3000);
    kill(killed.pid(), SIGCONT);
    poll(nullptr, 0, 200);
    kill(killed.pid(), SIGKILL);
    std::string printed = killed.finish(-1).out;
    Process next(activated);
    std::string rest = next.finish(-1, 0).out;
    std::size_t resumed = sent.find(rest.substr(0, rest.find("\n\n") + 2));
    ASSERT_NE(resumed, std::string::npos) << rest.substr(0, 100);
    EXPECT_TRUE(resumed == 0 || sent.compare(resumed - 2, 2, "\n\n") == 0);
    EXPECT_TRUE(printed.size() >= resumed && printed.compare(0, resumed, sent, 0, resumed) == 0);
    EXPECT_LE(printed.size(), sent.find("\n\n", resumed) + 2) << "more than one trap printed again";
    EXPECT_TRUE(rest == sent.substr(resumed)) << rest.size() << " bytes after " << resumed;
    close(held);
}

// What the socket unit's stop does once its reader has stopped: trapsink
// -R, on the path, takes it away, so that a handler from then on is
// refused, and prints what waits in the pipe, and what a handler that
// opened it before writes in the moment after, then ends by itself. In a
// directory that is not its own, as /run is not the reader's, the FIFO's
// mode alone refuses handlers (root removes the path all the same); the
// handlers' path leads there.
TEST_F(TrapsinkTest, TakingThePipeAwayRefusesHandlersAndKeepsWhatWaits)
{
    const std::string dir = std::string(RUN_DIR) + "/not-its-own", fifo = dir + "/corvane.p";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    ASSERT_EQ(symlink(fifo.c_str(), PIPE), 0);
    int held = open(PIPE, O_RDWR | O_NONBLOCK | O_CLOEXEC);  // as systemd holds it
    int writer = open(PIPE, O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // a handler's
    ASSERT_EQ(write(writer, "a\n\n", 3), 3);
    Process sink({.program = TRAPSINK, .args = {"-R", "-N", "4", fifo}, .ready_fd = 4});
    EXPECT_EQ(harness::run({.input = "refused\n"}, -1).exit_code, 1);
    struct stat st;
    EXPECT_TRUE(lstat(fifo.c_str(), &st) != 0 ? getuid() == 0 : st.st_mode == S_IFIFO);
    EXPECT_TRUE(fstat(held, &st) == 0 && st.st_mode == S_IFIFO) << "its mode is left";
    chmod(dir.c_str(), 0755);
    harness::remove_all(dir.c_str());
    poll(nullptr, 0, 200);
    ASSERT_EQ(write(writer, "b\n\n", 3), 3);
    Outcome o = sink.finish(-1);
    EXPECT_EQ(o.exit_code, 0) << o.err;
    EXPECT_EQ(o.out, framed(1, "a\n") + framed(2, "b\n"));
    close(writer);
    close(held);
}
