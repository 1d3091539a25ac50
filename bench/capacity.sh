#!/bin/sh
# How many traps the pipe holds while its reader does not read: the handler
# is run on one trap after another into a FIFO that is held open but never
# read, until a run is refused; then what that run left in the pipe is read
# out. Once with the kernel's default pipe, once enlarged to 1 MiB as
# trapsink enlarges it.
# usage: capacity.sh HANDLER TRAPSINK PIPE
set -eu
handler=$1 trapsink=$2 pipe=$3
work="$(dirname "$pipe")/capacity"
rm -rf "$work" && mkdir "$work"
trap 'rm -rf "$work" "$pipe"' EXIT

# Fills a fresh pipe with traps of $1 bytes; prints how many went in whole,
# and the bytes of the one that was cut, if any, without its end.
fill() {
    size=$1 enlarge=$2
    head -c $((size - 1)) /dev/zero | tr '\0' x >"$work/trap"
    echo >>"$work/trap"
    rm -f "$pipe" && mkfifo "$pipe"
    exec 3<>"$pipe"
    [ "$enlarge" = yes ] && "$trapsink" -n 0 "$pipe"
    n=0
    while "$handler" -d -1 <"$work/trap" 2>/dev/null; do n=$((n + 1)); done
    held=$(dd iflag=nonblock bs=64k <&3 2>/dev/null | wc -c)
    exec 3<&-
    cut=$((held - n * (size + 1) - 2))
    if [ "$cut" -gt 0 ]; then echo "$n, then $cut bytes of one, ended"; else echo "$n"; fi
}

printf '%10s  %-28s  %s\n' "trap bytes" "64 KiB pipe (the default)" "1 MiB pipe (as trapsink sets it)"
for size in 200 1000 2000 2300 4095 5000 8192 10000; do
    printf '%10s  %-28s  %s\n' "$size" "$(fill "$size" no)" "$(fill "$size" yes)"
done
