#!/bin/sh
# What one trap costs the host: the handler side by side with the floor (the
# least a relay can do: bench/floor.c, built as the handler is), the bare
# relay (the same with no C library at all: bench/bare.c, the limit) and
# cat, each handing one small trap into the same FIFO, which this script
# holds open and drains. Each figure comes from a standard tool:
#   latency       hyperfine, the mean of many runs with warm-up and no shell;
#                 hyperfine gives each run an empty standard input, so here
#                 the trap is the empty one, the marker alone
#   through sh    hyperfine, the same for the trap started the way a trap
#                 receiver's popen starts a handler: /bin/sh -c, the trap on
#                 its standard input
#   instructions  valgrind's callgrind, user space, exact and repeatable
#   system calls  strace, execve to exit
#   peak memory   GNU time's maximum resident set, the median of five runs
#                 (it varies with the pages the kernel maps around each fault),
#                 for one trap and for 16 MiB streamed through (in bursts
#                 that the pipe holds: a handler never waits for its reader)
# Every program runs with the same small environment: glibc's start-up
# reads all of it.
# usage: run.sh HANDLER FLOOR BARE TRAPSINK PIPE
set -eu
handler=$1 floor=$2 bare=$3 trapsink=$4 pipe=$5
for tool in hyperfine valgrind strace /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool is not installed"; exit 1; }
done
work="$(dirname "$pipe")/bench"
trap_file="$work/trap.txt"
rm -rf "$work" && mkdir "$work"

rm -f "$pipe"
"$trapsink" -r -N 3 "$pipe" >/dev/null 3>"$work/ready" &
reader=$!
trap 'kill $reader; rm -rf "$work" "$pipe"' EXIT
while [ ! -s "$work/ready" ]; do sleep 0.01; done

printf '%s\n' 'edge-router-3.example.net' 'UDP: [192.0.2.17]:50412->[192.0.2.1]:162' \
    'DISMAN-EVENT-MIB::sysUpTimeInstance 12:3:41:07.22' \
    'SNMPv2-MIB::snmpTrapOID.0 IF-MIB::linkDown' 'IF-MIB::ifIndex.12 12' >"$trap_file"
bytes=$(wc -c <"$trap_file")

programs="handler floor bare cat"
binary() {
    case $1 in handler) echo "$handler" ;; floor) echo "$floor" ;; bare) echo "$bare" ;;
        cat) command -v cat ;; esac
}
# Where each writes: the handler and the floor open the pipe themselves.
output() { if [ "$1" = cat ]; then echo "$pipe"; else echo /dev/null; fi; }

echo >"$work/marker"
hyperfine -N --style none --warmup 100 --runs 2000 --export-csv "$work/latency.csv" \
    -n handler "$handler" -n floor "$floor" -n bare "$bare" >/dev/null 2>"$work/hyperfine.log"
hyperfine -N --style none --warmup 100 --runs 2000 --export-csv "$work/latency-cat.csv" \
    --output "$pipe" -n cat "cat $work/marker" >/dev/null 2>>"$work/hyperfine.log"
hyperfine -N --style none --warmup 100 --runs 2000 --export-csv "$work/sh.csv" \
    -n handler "sh -c '$handler <$trap_file'" -n floor "sh -c '$floor <$trap_file'" \
    -n bare "sh -c '$bare <$trap_file'" -n cat "sh -c 'cat $trap_file >$pipe'" \
    >/dev/null 2>>"$work/hyperfine.log"

clean() { env -i PATH=/usr/bin:/bin "$@"; }
stream() {
    burst=0
    while [ $burst -lt 64 ]; do head -c 256K /dev/zero; sleep 0.005; burst=$((burst + 1)); done
}
for p in $programs; do
    bin=$(binary "$p") out=$(output "$p")
    clean valgrind --tool=callgrind --callgrind-out-file=/dev/null \
        "$bin" <"$trap_file" >"$out" 2>"$work/callgrind.$p"
    clean strace -qq -o "$work/strace.$p" "$bin" <"$trap_file" >"$out"
    for run in 1 2 3 4 5; do
        clean /usr/bin/time -f %M -a -o "$work/rss1.$p" "$bin" <"$trap_file" >"$out"
        stream | clean /usr/bin/time -f %M -a -o "$work/rss16.$p" "$bin" >"$out"
    done
done

# The row of one figure for each program, then the handler's ratios.
row() {
    label=$1 unit=$2
    shift 2
    printf '%-34s' "$label ($unit)"
    for value; do printf '%12s' "$value"; done
    for other in "$2" "$3" "$4"; do printf '%12s' "$(echo "$1 $other" | awk '{printf "%.2f", $1 / $2}')"; done
    echo
}
latency() { awk -F, -v name="$1" '$1 == name { printf "%.0f\n", $2 * 1e6 }' "$work"/latency*.csv; }
through_sh() { awk -F, -v name="$1" '$1 == name { printf "%.0f\n", $2 * 1e6 }' "$work/sh.csv"; }
callgrind() { sed -n 's/.*Collected : //p' "$work/callgrind.$1"; }
syscalls() { grep -c . "$work/strace.$1"; }
median() { sort -n "$work/$1" | sed -n 3p; }

echo "One trap of $bytes bytes at level 0, into a FIFO that trapsink holds and drains;"
echo "cat's output is opened by the shell, so its system calls lack that open."
echo
printf '%-34s%12s%12s%12s%12s%12s%12s%12s\n' "" handler floor bare cat \
    "h/floor" "h/bare" "h/cat"
row "latency, empty trap, mean" µs $(for p in $programs; do latency $p; done)
row "one trap through sh -c, mean" µs $(for p in $programs; do through_sh $p; done)
row "instructions, user space" count $(for p in $programs; do callgrind $p; done)
row "system calls, execve to exit" count $(for p in $programs; do syscalls $p; done)
row "peak resident memory, one trap" KiB $(for p in $programs; do median "rss1.$p"; done)
row "peak resident memory, 16 MiB" KiB $(for p in $programs; do median "rss16.$p"; done)
