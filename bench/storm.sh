#!/bin/sh
# A trap storm on loopback: COUNT copies of one SNMPv2c trap sent to
# snmptrapd as fast as perl can send them, the handler its only trap
# handler and trapsink the reader. How many reach the reader, the daemon's
# receive-buffer drops as ss shows them (its skmem "d" counter), and the
# rate end to end, and so what each trap costs inside the daemon (the time
# from one trap to the next while it runs its handlers one after another);
# once with the kernel's default receive buffer, once with
# 4 MiB, given the way systemd's ReceiveBuffer= gives it: a socket made with
# SO_RCVBUFFORCE and passed to the daemon (that one needs root).
# usage: storm.sh HANDLER TRAPSINK PIPE [COUNT]
set -eu
handler=$(realpath "$1") trapsink=$2 pipe=$(realpath -m "$3") count=${4:-2000}
PATH=$PATH:/usr/sbin
for tool in snmptrapd snmptrap ss perl; do
    command -v "$tool" >/dev/null || { echo "storm: skipped, $tool is not installed"; exit 0; }
done
work="$(dirname "$pipe")/storm"
rm -rf "$work" && mkdir -p "$work/persist"
export SNMP_PERSISTENT_DIR="$work/persist" MIBS="" MIBDIRS="$work"
port=$((20000 + $$ % 20000))
pids=
trap 'kill $pids 2>/dev/null || :; rm -rf "$work" "$pipe"' EXIT
printf '%s\n' 'disableAuthorization yes' \
    "traphandle default $handler" >"$work/snmptrapd.conf"

# One trap datagram, as snmptrap sends it, caught on a port of our own.
perl -MIO::Socket::INET -e '
    my $s = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => $ARGV[0],
                                  Proto => "udp") or die "$!";
    print "ready\n"; $| = 1; $s->recv(my $d, 65535); print STDERR $d' "$port" \
    2>"$work/trap.bin" >"$work/catcher" &
catcher=$!
while [ ! -s "$work/catcher" ]; do sleep 0.01; done
snmptrap -v 2c -c public "127.0.0.1:$port" "" 1.3.6.1.6.3.1.1.5.3 \
    1.3.6.1.2.1.2.2.1.1.12 i 12 1.3.6.1.2.1.2.2.1.8.12 i 2 2>/dev/null
wait "$catcher"

# Runs the daemon on a socket with receive buffer $1 bytes (0: the
# kernel's default), sends the storm, and waits until the reader has had
# nothing new for 2 s, 60 s at most.
storm() {
    rm -f "$pipe" "$work/received"
    "$trapsink" -N 3 "$pipe" >"$work/received" 3>"$work/ready" &
    pids="$!"
    while [ ! -s "$work/ready" ]; do sleep 0.01; done
    rm -f "$work/ready"
    perl -MIO::Socket::INET -MSocket -MPOSIX -e '
        my ($port, $size, @daemon) = @ARGV;
        $^F = 3;  # the socket stays open across exec
        my $s = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => $port,
                                      Proto => "udp") or die "$!";
        setsockopt($s, SOL_SOCKET, 33, pack("i", $size)) or die "$!" if $size;  # SO_RCVBUFFORCE
        dup2(fileno($s), 3) if fileno($s) != 3;
        $ENV{LISTEN_FDS} = 1; $ENV{LISTEN_PID} = $$;
        exec @daemon or die "$!"' "$port" "$1" \
        snmptrapd -f -C -c "$work/snmptrapd.conf" -n -On -Lf "$work/daemon.log" \
        "udp:127.0.0.1:$port" >/dev/null 2>&1 &
    pids="$pids $!"
    sleep 0.5
    start=$(date +%s.%N)
    perl -MIO::Socket::INET -e '
        my ($port, $count, $file) = @ARGV;
        open(my $f, "<", $file) or die "$!"; binmode $f; local $/; my $d = <$f>;
        my $s = IO::Socket::INET->new(PeerAddr => "127.0.0.1", PeerPort => $port,
                                      Proto => "udp") or die "$!";
        $s->send($d) for 1 .. $count' "$port" "$count" "$work/trap.bin"
    last=0 quiet=0 waited=0 end=
    while [ $quiet -lt 20 ] && [ $waited -lt 600 ]; do
        sleep 0.1
        now=$(grep -c '^=== end of trap' "$work/received" || :)
        if [ "$now" -eq "$last" ]; then quiet=$((quiet + 1)); else quiet=0 last=$now end=$(date +%s.%N); fi
        waited=$((waited + 1))
    done
    ss -ulmn "sport = :$port" | sed -n 's/.*skmem:(\(.*\)).*/\1/p' | tr , '\n' >"$work/skmem"
    drops=$(sed -n 's/^d//p' "$work/skmem")
    buffer=$(sed -n 's/^rb//p' "$work/skmem")
    kill $pids 2>/dev/null; wait $pids 2>/dev/null || :
    rate=$(echo "$last ${end:-$start} $start" | awk '$2 > $3 { printf "%.0f", $1 / ($2 - $3) }')
    each=$(echo "${rate:-0}" | awk '$1 > 0 { printf "%.0f", 1e6 / $1 }')
    printf '%-24s %10s %10s %10s %12s %10s\n' "$2" "$buffer" "$last" "$drops" "${rate:--}" "${each:--}"
}

echo "$count traps of $(wc -c <"$work/trap.bin") bytes sent at once to snmptrapd on loopback."
printf '%-24s %10s %10s %10s %12s %10s\n' "receive buffer" "rb bytes" delivered dropped "traps/s" "µs/trap"
storm 0 "the default"
if [ "$(id -u)" -eq 0 ]; then
    storm 4194304 "4 MiB (ReceiveBuffer=4M)"
else
    echo "4 MiB: skipped, SO_RCVBUFFORCE needs root"
fi
