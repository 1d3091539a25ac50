#!/bin/sh
# One sample trap through the handler into the stand-in reader, and what
# each end shows. Everything it touches lies under the build tree.
set -eu
handler=$1 sink=$2 pipe=$3 trace=$4 sample=$5
dir=$(dirname "$pipe")
received="$dir/demo-received.txt"
ready="$dir/demo-ready"

# The trace file is created exclusively: a trace left by an earlier demo
# would keep this run from tracing.
rm -f "$trace" "$received" "$ready"
mkfifo "$ready"
"$sink" -n 1 -N 3 "$pipe" >"$received" 3>"$ready" &
sink_pid=$!
read -r _ <"$ready"   # the reader holds the pipe from here on
rm -f "$ready"

echo "== the trap text, as a trap receiver hands it over"
cat "$sample"
echo
status=0
cat "$sample" | "$handler" -d 1 || status=$?
echo "== reduzezezev -d 1 exited with status $status"
if [ "$status" -ne 0 ]; then
    kill "$sink_pid" 2>/dev/null || :
fi
wait "$sink_pid" || :
echo
echo "== what the reader received ($pipe)"
cat "$received"
echo
echo "== the trace file ($trace)"
cat "$trace"
exit "$status"
