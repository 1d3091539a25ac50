#!/bin/sh
# The handler under a real trap receiver: snmptrapd on a loopback port, with
# a private configuration whose default trap handler is the handler under
# test (at level 0, then 1), and a second handler that keeps a copy of each
# trap text the daemon hands over. Every trap must reach the stand-in reader
# as exactly that text followed by the end-of-data marker. Run as root, it
# also runs the daemon as Debian's unit does, as the user Debian-snmp, with
# the pipe's mode and group set as the manual says (skipped without root or
# that user).
#
# usage: snmptrapd_test.sh HANDLER TRAPSINK PIPE TRACE RUN_DIR
# Exits 77 (skipped) where snmptrapd or snmptrap is not installed.
set -u
handler=$1 trapsink=$2 pipe=$3 trace=$4 run_dir=$5

for tool in snmptrapd snmptrap; do
    if ! command -v "$tool" >/dev/null 2>&1 && [ ! -x "/usr/sbin/$tool" ]; then
        echo "skipped: $tool is not installed (Debian packages snmptrapd and snmp)"
        exit 77
    fi
done
PATH=$PATH:/usr/sbin

work="$run_dir/snmptrapd"
rm -rf "$work"
mkdir -p "$work/persist"
# No system MIBs, no system configuration, no persistent state outside $work.
export SNMP_PERSISTENT_DIR="$work/persist" MIBS="" MIBDIRS="$work"
port=$((20000 + $$ % 20000))
daemon_pid=
sink_pid=
as_user=
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

stop() {
    [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
    [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null && wait "$sink_pid" 2>/dev/null
    daemon_pid= sink_pid=
}
trap stop EXIT

# Waits up to 20 s for a command to succeed.
wait_for() {
    i=0
    while ! "$@" 2>/dev/null; do
        i=$((i + 1))
        [ $i -gt 400 ] && return 1
        sleep 0.05
    done
}

# A copy of every text the daemon hands to its handlers, each followed by
# the marker, as the reader should see them.
cat >"$work/capture.sh" <<CAPTURE
#!/bin/sh
cat >>"$work/expected"
printf '\n' >>"$work/expected"
echo >>"$work/handled"
CAPTURE
chmod +x "$work/capture.sh"

start_daemon() {
    level=$1
    cat >"$work/snmptrapd.conf" <<CONF
disableAuthorization yes
traphandle default $handler -d $level
traphandle default $work/capture.sh
CONF
    $as_user snmptrapd -f -C -c "$work/snmptrapd.conf" -n -X -On -Lf "$work/daemon-$level.log" \
        -p "$work/daemon.pid" "udp:127.0.0.1:$port" 2>>"$work/daemon-stderr.log" &
    daemon_pid=$!
    # Ready once its socket is bound: the port shows in /proc/net/udp.
    hex_port=$(printf '%04X' "$port")
    wait_for grep -q "0100007F:$hex_port " /proc/net/udp || fail "snmptrapd did not start"
}

# The reader, with trapsink's options for the pipe if any are given.
start_reader() {
    rm -f "$pipe" "$trace" "$work/received" "$work/expected" "$work/handled"
    "$trapsink" -r "$@" "$pipe" >"$work/received" &
    sink_pid=$!
    wait_for test -p "$pipe" || fail "the reader did not create its pipe"
    sleep 0.1
}

long_value=$(printf 'long value %.0s' $(seq 1000) | cut -c1-9990)
multi_line="first line of the message
second line, with more words
third and last line"

# Each of the traps, one per call: what the test sends.
send_trap() {
    case $1 in
    v1) snmptrap -v 1 -c public "127.0.0.1:$port" 1.3.6.1.4.1.8072.2.3 "" 6 17 "" \
            1.3.6.1.4.1.8072.2.3.2.1 i 123456 ;;
    v2c) snmptrap -v 2c -c public "127.0.0.1:$port" "" 1.3.6.1.6.3.1.1.5.3 \
            1.3.6.1.2.1.2.2.1.1.12 i 12 1.3.6.1.2.1.2.2.1.8.12 i 2 ;;
    multiline) snmptrap -v 2c -c public "127.0.0.1:$port" "" 1.3.6.1.4.1.8072.2.3.0.1 \
            1.3.6.1.4.1.8072.2.3.2.1 s "$multi_line" ;;
    long) snmptrap -v 2c -c public "127.0.0.1:$port" "" 1.3.6.1.4.1.8072.2.3.0.1 \
            1.3.6.1.4.1.8072.2.3.2.1 s "$long_value" ;;
    esac || fail "snmptrap $1 failed"
}
traps="v1 v2c multiline long"

# Both handlers have run for every trap once the copy holds them all.
handled_at_least() { [ "$(cat "$work/handled" 2>/dev/null | wc -l)" -ge "$1" ]; }
wait_delivered() {
    wait_for handled_at_least "$1" \
        || fail "the daemon ran its handlers for fewer than $1 traps"
    wait_for reader_caught_up || fail "the reader has less than the daemon handed over"
}
reader_caught_up() { [ "$(wc -c <"$work/received")" -ge "$(wc -c <"$work/expected")" ]; }

# Sends every trap at once; the reader must have exactly the daemon's texts.
send_all_and_compare() {
    for t in $traps; do send_trap "$t"; done
    wait_delivered 4
    if cmp -s "$work/expected" "$work/received"; then
        echo "ok: $1, every trap arrived exactly, each followed by the marker"
    else
        fail "$1, the reader's stream differs from the daemon's trap texts"
        diff "$work/expected" "$work/received" | head -20
        cat "$work/daemon-stderr.log"
    fi
}

echo "== level 0: $traps, sent at once"
start_reader
start_daemon 0
send_all_and_compare "at level 0"
grep -q 'first line of the message' "$work/received" || fail "multi-line trap missing"
[ "$(wc -c <"$work/expected")" -gt 10000 ] || fail "the long trap did not exceed one chunk"
[ -e "$trace" ] && fail "level 0 created a trace file"
stop

echo "== level 1: each trap traced"
start_reader
start_daemon 1
n=0
for t in $traps; do
    rm -f "$trace"
    send_trap "$t"
    n=$((n + 1))
    wait_delivered $n
    for message in "Traphandler started ..." "Opened pipe '$pipe'" \
        "Read line from stdin: '" "Wrote EOD to pipe" "Traphandler terminated."; do
        grep -qF "): $message" "$trace" || fail "trace of the $t trap lacks: $message"
    done
    if [ "$t" = long ] && [ "$(grep -c "): Read line from stdin: '" "$trace")" -lt 2 ]; then
        fail "the long trap did not come in more than one chunk"
    fi
done
if cmp -s "$work/expected" "$work/received"; then
    echo "ok: at level 1 too, every trap arrived exactly"
else
    fail "at level 1 the reader's stream differs from the daemon's trap texts"
fi
stop

user=Debian-snmp
# A command prefix, not a function: started in the background it must be
# the daemon's own pid that $! gives, so that stop() ends the daemon.
as="setpriv --reuid=$user --regid=$user --init-groups"
if [ "$(id -u)" -ne 0 ]; then
    echo "== as $user: skipped, this needs root to change user"
elif ! id "$user" >/dev/null 2>&1 || ! command -v setpriv >/dev/null 2>&1; then
    echo "== as $user: skipped, no such user or no setpriv"
elif ! $as test -x "$handler" || ! $as test -r "$work/capture.sh"; then
    echo "== as $user: skipped, $user cannot reach the build tree"
else
    echo "== as $user, as Debian's unit runs the daemon: the pipe made 0620, group $user"
    chown -R "$user" "$work"
    # What a reader started as root without -m and -g leaves: a pipe only
    # root can write. The handler says why: in the trace file, or on
    # standard error where it cannot create that (under a build tree).
    start_reader
    $as "$handler" </dev/null >/dev/null 2>"$work/refused.err"
    status=$?
    [ "$status" -eq 1 ] || fail "a handler refused the pipe exited with $status"
    cat "$work/refused.err" "$trace" 2>/dev/null \
        | grep -qF "Error opening pipe '$pipe' [Permission denied]" \
        || { fail "the refused handler did not say why"; cat "$work/refused.err"; }
    stop
    # The pipe as the manual makes it.
    start_reader -m 0620 -g "$user"
    as_user=$as
    start_daemon 0
    send_all_and_compare "as $user"
    [ -s "$work/daemon-stderr.log" ] && fail "handlers said something on standard error: $(cat "$work/daemon-stderr.log")"
    stop
    as_user=
fi

if [ "$failures" -ne 0 ]; then
    echo "snmptrapd_test: $failures failure(s); daemon log:"
    cat "$work"/daemon-*.log
    exit 1
fi
echo "snmptrapd_test: all traps delivered"
