#!/bin/sh
# The package under a real systemd, through the life of the reader and the
# package: a minimal Debian root booted with systemd-nspawn, the package
# installed with dpkg, snmptrapd (as Debian-snmp, from its own socket unit)
# configured with the README's lines, trapsink.socket enabled, and the
# traps forwarded over HTTPS by trapsink(1)'s own lines, to a collector on
# loopback that refuses an upload without the authority's certificate.
# Traps are sent with snmptrap, each carrying a serial number, while the
# operator does one thing per row (restarts of the daemon, and
# reduzezezev(8)'s recipe for its receive buffer, among them); then every
# serial is looked for in trapsink's journal, and at the end on the
# collector.
#
# A trap that the daemon handed to its handlers and that is not printed was
# either refused visibly (a handler said so in the trace file or on the
# daemon's standard error) or lost without a trace.
# Each row must lose nothing without a trace, a crash loop too, give one
# journal entry a trap (a trap split by a stop, or an empty entry, is a
# failure; a crash may repeat one that it had sent, as trapsink(1) says,
# and the crash loop reports those), leave the
# socket listening and deliver again at once; the upgrade must leave no unit
# failed and the new trapsink running. Every trap must be one journal entry
# with its text byte for byte (as a second handler keeps it) and the fields
# TRAP_HOST, TRAP_ADDRESS and TRAP_OID, none sent by a process running as
# root; and a storm of traps must leave the host's own journal entries.
#
# usage: lifecycle_test.sh DEB [WORK_DIR] [SUITE]
#   DEB       the package to test; the upgrade installs the same files under
#             a higher version
#   WORK_DIR  keeps the Debian root's tarball between runs (default, or "":
#             a temporary directory, removed afterwards)
#   SUITE     the Debian release to boot (default: the host's)
# Exits 77 (skipped), saying why, where a container cannot be booted.
set -u
deb=$(realpath "$1")
work=${2:-}
keep=${2:+yes}
skip() { echo "skipped: $*"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "booting a container needs root"
for tool in systemd-nspawn mmdebstrap nsenter dpkg-deb; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -n "$work" ] || work=$(mktemp -d /var/tmp/lifecycle.XXXXXX)
mkdir -p "$work"
root="$work/root"
nspawn= init=
cleanup() {
    # Killed alone, systemd-nspawn would leave the container running: its
    # init, killed, takes every process of the container with it.
    [ -z "$nspawn" ] || { kill -9 $init "$nspawn" 2>/dev/null; wait "$nspawn" 2>/dev/null; }
    rm -rf "$root"
    [ -n "$keep" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 2' INT TERM

suite=${3:-$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")}
include=systemd-sysv,dbus,snmptrapd,snmp,procps,iproute2,systemd-journal-remote,openssl,curl,stunnel4
tarball="$work/$suite-$(echo "$include" | cksum | cut -d' ' -f1).tar"
if [ ! -s "$tarball" ]; then
    echo "== making a minimal Debian $suite root"
    mmdebstrap --quiet --variant=minbase --include="$include" \
        "$suite" "$tarball" >"$work/mmdebstrap.log" 2>&1 \
        || { tail -5 "$work/mmdebstrap.log"; rm -f "$tarball"; skip "mmdebstrap could not make a root"; }
fi
rm -rf "$root" && mkdir -p "$root" && tar -C "$root" -xf "$tarball"
mkdir -p "$root/var/log/journal" "$root/var/tmp/debs"  # the journal kept across boots

# The upgrade: the same files under a higher version.
cp "$deb" "$root/var/tmp/debs/first.deb"
dpkg-deb -R "$deb" "$work/next"
version=$(sed -n 's/^Version: //p' "$work/next/DEBIAN/control")
sed -i "s/^Version: .*/Version: $version+1/" "$work/next/DEBIAN/control"
dpkg-deb -b "$work/next" "$root/var/tmp/debs/next.deb" >/dev/null && rm -rf "$work/next"

# A trap a call, serials FIRST to FIRST+COUNT-1, as fast as snmptrap goes;
# with PAD, a string of that many random bytes in each (the daemon writes
# it in hexadecimal, three characters a byte, so that the handler writes the
# trap in several chunks, and the journal cannot compress it).
cat >"$root/usr/local/bin/send-traps" <<'EOF'
#!/bin/sh
export MIBS= MIBDIRS=/nonexistent
i=$1
pad=
[ -n "${3:-}" ] && pad=$(head -c "$3" /dev/urandom | base64 -w0 | head -c "$3")
while [ "$i" -lt $(($1 + $2)) ]; do
    snmptrap -v 2c -c public 127.0.0.1 '' 1.3.6.1.4.1.8072.9999.0.1 \
        "1.3.6.1.4.1.8072.9999.1.$i" i "$i" ${pad:+1.3.6.1.4.1.8072.9999.2 s "$pad"} \
        || echo "snmptrap $i failed" >&2
    i=$((i + 1))
done
EOF
# What the daemon hands its handlers, each followed by the marker: the
# journal's MESSAGEs, printed one a line, must read the same.
printf '%s\n' '#!/bin/sh' 'cat >>/var/tmp/captured' "printf '\\n' >>/var/tmp/captured" \
    >"$root/usr/local/bin/capture-trap"
chmod 755 "$root/usr/local/bin/send-traps" "$root/usr/local/bin/capture-trap"

in_ct() { nsenter --target "$init" --all -- "$@"; }

# Boots the root; returns once systemd has finished starting up.
boot() {
    systemd-nspawn --quiet -b --register=no --keep-unit --private-network \
        -D "$root" >"$work/console.log" 2>&1 </dev/null &
    nspawn=$!
    init=
    for _ in $(seq 100); do
        init=$(pgrep -P "$nspawn" | head -1)
        [ -n "$init" ] && in_ct systemctl is-system-running --wait >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    tail -20 "$work/console.log"
    echo "FAIL: the container did not boot"
    exit 1
}

# Powers the container off, and waits for it, 90 s at most.
power_off() {
    in_ct systemctl poweroff
    for _ in $(seq 450); do
        kill -0 "$nspawn" 2>/dev/null || { wait "$nspawn"; nspawn=; return; }
        sleep 0.2
    done
    fail "the container did not power off"
}

reboot() { power_off; boot; }

traps() { in_ct journalctl -q --namespace=trapsink PRIORITY=5 --no-pager "$@"; }
# Serials in [FIRST, FIRST+COUNT) in what standard input gives, each once.
serials_in() {
    grep -oE '8072\.9999\.1\.[0-9]+' | cut -d. -f4 | sort -un \
        | awk -v lo="$1" -v hi="$(($1 + $2))" '$1 >= lo && $1 < hi' | wc -l
}
# ... that trapsink printed, and that the daemon handed to its handlers (it
# drops datagrams itself when its receive buffer is full).
# (With a reader of one's own, what it wrote.)
reader=trapsink
kept() {
    if [ "$reader" = trapsink ]; then in_ct journalctl -q --namespace=trapsink -o cat --no-pager
    else in_ct cat /var/tmp/trapreader.out 2>/dev/null; fi
}
printed() { kept | serials_in "$@"; }
handed() { serials_in "$@" <"$root/var/tmp/captured"; }
# Handler failures so far: in the trace file, or on the daemon's standard error.
refusals() {
    { in_ct cat /var/tmp/corvane.trc 2>/dev/null
      in_ct journalctl -q -u snmptrapd.service -o cat --no-pager; } | grep -c 'Error' || :
}
# Waits until the range has arrived or nothing more arrives for 3 s.
settle() {
    seen=-1 quiet=0
    while [ "$quiet" -lt 6 ]; do
        now=$(printed "$1" "$2")
        [ "$now" -eq "$2" ] && return
        if [ "$now" -eq "$seen" ]; then quiet=$((quiet + 1)); else quiet=0; fi
        seen=$now
        sleep 0.5
    done
}
listener=trapsink.socket
socket_listening() { [ "$(in_ct systemctl is-active $listener)" = active ]; }
# What an operator would do to bring delivery back, for a package that
# needs it: reported, and a failure of the row.
recover() {
    in_ct systemctl reset-failed trapsink.socket trapsink.service 2>/dev/null
    in_ct rm -f /run/corvane.p
    in_ct systemctl start trapsink.socket
}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# What each row does while its traps flow.
act() {
    case $1 in
    steady) ;;
    receive-buffer-recipe)
        sleep 1
        in_ct sh -ec "mkdir -p /etc/systemd/system/snmptrapd.socket.d
            printf '[Socket]\\nReceiveBuffer=4M\\n' \\
                >/etc/systemd/system/snmptrapd.socket.d/buffer.conf
            systemctl daemon-reload
            systemctl stop snmptrapd.service snmptrapd.socket
            systemctl start snmptrapd.socket snmptrapd.service" || fail "$1: the recipe failed"
        in_ct systemctl --quiet is-active snmptrapd.service || fail "$1: the daemon is not running"
        in_ct ss -ulmn 'sport = :162' | grep -q 'rb8388608' \
            || fail "$1: the receive buffer is $(in_ct ss -ulmn 'sport = :162' | grep -o 'rb[0-9]*')" ;;
    daemon-restarts)
        # As after a change to its lines: no handler is signalled in passing.
        for _ in $(seq 6); do sleep 3; in_ct systemctl restart snmptrapd.service; done ;;
    collector-away-10s)
        sleep 1
        in_ct systemctl stop systemd-journal-remote.socket systemd-journal-remote.service
        sleep 10
        in_ct systemctl start systemd-journal-remote.socket ;;
    service-restart)
        for _ in 1 2 3; do sleep 2; in_ct systemctl restart trapsink.service; done ;;
    service-restart-8k-traps)
        for _ in $(seq 10); do sleep 0.7; in_ct systemctl restart trapsink.service; done ;;
    restarts-past-start-limit)
        for _ in $(seq 10); do sleep 0.5; in_ct systemctl restart trapsink.service; done ;;
    crash-loop)
        for _ in $(seq 8); do sleep 0.7; in_ct systemctl kill -s SIGKILL trapsink.service; done ;;
    socket-restart)
        # No process that reads traps runs as root meanwhile.
        for _ in 1 2; do
            sleep 1
            in_ct sh -c 'systemctl restart trapsink.socket & while kill -0 $! 2>/dev/null; do
                ps -C trapsink -o uid=; done' | grep -qx ' *0' && fail "$1: a trapsink ran as root"
        done ;;
    failed-socket-stop)
        # A stop that fails before the reader has stopped (its first command
        # made to fail): the reader stops all the same, and the socket
        # starts again.
        sleep 1
        in_ct sh -c 'mkdir -p /run/systemd/system/trapsink.socket.d
            printf "[Socket]\nExecStopPre=\nExecStopPre=/bin/false\n" \
                >/run/systemd/system/trapsink.socket.d/fail.conf
            systemctl daemon-reload && systemctl stop trapsink.socket'
        in_ct systemctl --quiet is-active trapsink.service && fail "$1: the reader runs on a pipe no handler reaches"
        sleep 1
        in_ct sh -c 'rm -r /run/systemd/system/trapsink.socket.d && systemctl daemon-reload'
        in_ct systemctl start trapsink.socket || fail "$1: the socket does not start again" ;;
    upgrade)
        sleep 3
        in_ct dpkg -i /var/tmp/debs/next.deb >"$work/upgrade.log" 2>&1 \
            || fail "upgrade: dpkg failed: $(tail -3 "$work/upgrade.log")"
        if grep -q 'Could not execute' "$work/upgrade.log"; then
            fail "upgrade: $(grep 'Could not execute' "$work/upgrade.log")"
        fi
        if in_ct systemctl --quiet is-failed trapsink.socket trapsink.service; then
            fail "upgrade: a unit is left failed"
        fi ;;
    sigterm)
        for _ in 1 2 3; do sleep 2; in_ct systemctl kill -s SIGTERM trapsink.service; done ;;
    reader-socket-restart)
        for _ in 1 2; do sleep 1; in_ct systemctl restart trapreader.socket; done ;;
    reader-restart)
        for _ in 1 2; do sleep 1; in_ct systemctl restart trapreader.service; done ;;
    esac
}

# Journal entries, or traps a reader of one's own wrote (a serial a trap).
entry_count() {
    if [ "$reader" = trapsink ]; then traps -o json | wc -l
    else kept | grep -c '8072\.9999\.1\.[0-9]'; fi
}

report() {  # ROW FIRST SENT REFUSED ENTRIES
    got=$(printed "$2" "$3") handed=$(handed "$2" "$3")
    # A trap printed was handed over, though a stop of the daemon may have
    # cut its copy short.
    [ "$handed" -ge "$got" ] || handed=$got
    silent=$((handed - got - $4))
    [ "$silent" -ge 0 ] || silent=0
    printf '%-28s %6s %7s %8s %10s %10s %8s\n' "$1" "$3" "$handed" "$got" "$(($handed - got - silent))" \
        "$silent" "$5"
    [ "$silent" -eq 0 ] || fail "$1: $silent traps lost without a trace"
    if [ "$1" = crash-loop ] && [ "$5" -gt "$got" ]; then
        echo "$1: $(($5 - got)) traps sent again after a crash"
    else
        [ "$5" -eq "$got" ] || fail "$1: $5 journal entries for $got traps"
    fi
}

run_row() {  # ROW FIRST COUNT [PAD]
    before=$(refusals) entries_before=$(entry_count)
    in_ct send-traps "$2" "$3" ${4:-} 2>>"$work/send.log" &
    sender=$!
    act "$1"
    wait "$sender"
    settle "$2" "$3"
    socket_listening || { fail "$1: $listener is $(in_ct systemctl is-active $listener)"; recover; }
    report "$1" "$2" "$3" $(($(refusals) - before)) $(($(entry_count) - entries_before))
    # Delivery goes on at once.
    in_ct send-traps $(($2 + $3)) 5
    settle $(($2 + $3)) 5
    [ "$(printed $(($2 + $3)) 5)" -eq 5 ] || fail "$1: delivery did not resume"
}

echo "== booting, installing $(basename "$deb"), enabling trapsink.socket"
boot
in_ct dpkg -i /var/tmp/debs/first.deb >"$work/install.log" 2>&1 \
    || { cat "$work/install.log"; fail "dpkg -i failed"; exit 1; }
printf '%s\n' 'authCommunity execute public' 'traphandle default /usr/sbin/reduzezezev' \
    'outputOption x' 'traphandle default /usr/local/bin/capture-trap' >"$root/etc/snmp/snmptrapd.conf"
in_ct systemctl restart snmptrapd
in_ct systemctl enable --now trapsink.socket >/dev/null 2>&1 || fail "cannot enable trapsink.socket"
in_ct stat -c '%F %a %U %G' /run/corvane.p
[ "$(in_ct systemctl show -P StartLimitIntervalUSec systemd-journald@trapsink.service)" = 0 ] \
    || fail "the traps' journal has a start limit, past which its socket closes"
# A recipe of the package's manual PAGE, as printed, for a collector at
# 127.0.0.1 (the packages it installs are in the root already).
recipe() {  # PAGE NAME
    dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/man/$1.gz" | zcat \
        | awk -v name="$2" '$0 == ".\\\" recipe: " name { on = 1; next }
                            on && /^\.Bd/ { next }
                            on && /^\.Dl / { print substr($0, 5); exit }
                            on && /^\.Ed/ { exit }
                            on' \
        | sed -e 's/\\e/\\/g' -e 's/192\.0\.2\.10/127.0.0.1/g' -e '/^apt install/d'
}
# The authority, the collector and the uploader over HTTPS, by trapsink(1)'s
# own lines.
for part in authority collector 'trap host'; do
    recipe man1/trapsink.1 "$part" | in_ct sh -ec 'mkdir -p /root/pki && cd /root/pki && exec sh -e' >>"$work/forward.log" 2>&1 \
        || fail "cannot forward the traps as trapsink(1) says ($part): $(tail -1 "$work/forward.log")"
done
# Nothing is taken without a client certificate that the authority signed.
in_ct sh -c 'cd /root/pki
    printf "__CURSOR=s=0;i=1\n__REALTIME_TIMESTAMP=1700000000000000\nMESSAGE=forged\nPRIORITY=5\nTRAP_SOURCE=198.51.100.66\n\n" >forged.export
    openssl req -x509 -newkey rsa:2048 -noenc -days 1 -subj /CN=forger -keyout forger.key -out forger.pem 2>/dev/null
    for cert in "" "--cert forger.pem --key forger.key"; do
        curl -s -k $cert -H "Content-Type: application/vnd.fdo.journal" --data-binary @forged.export \
            https://127.0.0.1:19532/upload && echo taken
    done' | grep -q taken && fail "an upload without the authority's certificate was taken"

printf '%-28s %6s %7s %8s %10s %10s %8s\n' "what the operator did" sent handed printed refused \
    "lost silently" entries
first=1
for row in steady:300 receive-buffer-recipe:300 daemon-restarts:500 service-restart:400 service-restart-8k-traps:300:8000 \
           restarts-past-start-limit:300 crash-loop:300 socket-restart:300 failed-socket-stop:300 \
           upgrade:300 sigterm:400 \
           collector-away-10s:300; do
    set -- $(echo "$row" | tr : ' ')
    run_row "$1" "$first" "$2" ${3:-}
    if [ "$first" -eq 1 ] && ! { sleep 1; traps -o cat; } | cmp -s - "$root/var/tmp/captured"; then
        fail "steady: the journal's traps differ from the texts the daemon handed over"
    fi
    first=$((first + 100000))
done

# The new trapsink runs: a process still running the old one shows its
# program as deleted.
pid=$(in_ct systemctl show -P MainPID trapsink.service)
if [ "$pid" -gt 0 ] && in_ct readlink "/proc/$pid/exe" | grep -q deleted; then
    fail "upgrade: trapsink still runs the old program"
fi

# Poweroff with traps waiting in the pipe: trapsink stopped in its tracks,
# five traps handed over, the machine powered off and booted again.
in_ct systemctl kill -s SIGSTOP trapsink.service
before=$(refusals) entries_before=$(entry_count)
in_ct send-traps "$first" 5
sleep 1
reboot
report poweroff-with-traps-waiting "$first" 5 $(($(refusals) - before)) $(($(entry_count) - entries_before))
socket_listening || fail "after a second boot trapsink.socket is not listening"
first=$((first + 100000))
run_row after-a-second-boot "$first" 20

# One journal entry a trap, each with the four fields.
with_fields() { grep '"TRAP_HOST"' | grep '"TRAP_ADDRESS"' | grep '"TRAP_SOURCE"' | grep '"TRAP_OID"'; }
serials() { grep -oE '8072\.9999\.1\.[0-9]+' | sort -u | wc -l; }
entries=$(traps -o json | wc -l)
whole=$(traps -o json | with_fields | wc -l)
serials=$(traps -o cat | serials)
echo "$serials traps printed, as $entries journal entries, $whole with all four fields"
[ "$entries" -eq "$serials" ] && [ "$whole" -eq "$entries" ] || fail "not one entry a trap, with its fields"

# And every one on the collector, with its fields, once the uploader has
# caught up (a minute at most), though the collector was away for ten
# seconds. An entry on its way as the collector went may come twice.
on_collector() { in_ct journalctl -q -D /var/log/journal/remote PRIORITY=5 --no-pager "$@"; }
for _ in $(seq 60); do
    collected=$(on_collector -o json --all | with_fields | serials)
    [ "$collected" -ge "$serials" ] && break
    sleep 1
done
echo "$collected traps on the collector with all four fields, as $(on_collector -o json | wc -l) entries"
[ "$collected" -eq "$serials" ] || fail "the collector has $collected of the $serials traps"
[ -z "$(on_collector TRAP_SOURCE=198.51.100.66)" ] || fail "the collector has a forged trap"

# No trap was sent by a process running as root, at any stop; the socket's
# stops sent some.
echo "$(traps _SYSTEMD_UNIT=trapsink.socket | wc -l) traps sent by the socket's stops"
[ -z "$(in_ct journalctl -q --namespace=trapsink _COMM=trapsink _UID=0)" ] || fail "a trapsink ran as root"

# A storm through the daemon, with the README's lines: 600 traps of 45 KB
# that the journal cannot compress, three times what the host's journal may
# keep here, into the traps' journal, with limits of its own. The host's
# own entries stay; the oldest traps go.
in_ct sh -ec 'mkdir -p /etc/systemd/journald.conf.d
    printf "[Journal]\\nSystemMaxUse=8M\\nSystemMaxFileSize=1M\\n" >/etc/systemd/journald.conf.d/small.conf
    printf "[Journal]\\nSystemMaxUse=16M\\nSystemMaxFileSize=2M\\n" >/etc/systemd/journald@trapsink.conf
    systemctl restart systemd-journald systemd-journald@trapsink
    for i in $(seq 100); do logger -p auth.notice -t host-entry "host entry $i"; done'
first=$((first + 100000))
before=$(refusals)
in_ct send-traps "$first" 600 15000 2>>"$work/send.log"
settle "$first" 600
host=$(in_ct journalctl -q -t host-entry -o cat | grep -c 'host entry')
echo "storm: the host's own entries $host of 100, traps $(printed "$first" 600) of 600 kept," \
    "$(($(refusals) - before)) refused"
[ "$host" -eq 100 ] || fail "storm: the host's own entries were pushed out"
[ "$(printed $((first + 599)) 1)" -eq 1 ] || fail "storm: the last trap is not kept"

# A reader of one's own in trapsink's place, by reduzezezev(8)'s lines: a
# few lines of bash that append what the pipe brings to a file and, asked
# to stop, first read what waits. Its socket enabled, through a reboot and
# restarts under traffic; then the pipe made by tmpfiles.d and held by the
# reader alone, through a reboot and restarts of the reader (each loses,
# visibly, the traps handed over meanwhile).
cat >"$root/usr/local/bin/trapreader" <<'EOF'
#!/bin/bash
# Appends what the pipe brings (descriptor 3, or the path given) to
# /var/tmp/trapreader.out; asked to stop, first reads what waits.
[ -z "${1:-}" ] || exec 3<>"$1"
exec >>/var/tmp/trapreader.out
stopping=
trap stopping=yes TERM
while :; do
    if IFS= read -r -t 0.5 line <&3; then printf '%s\n' "$line"
    else printf '%s' "$line"; [ -z "$stopping" ] || exit 0; fi
done
EOF
chmod 755 "$root/usr/local/bin/trapreader"
in_ct systemctl disable --now trapsink.socket >/dev/null 2>&1
for unit in service socket; do
    recipe man8/reduzezezev.8 "reader $unit" >"$root/etc/systemd/system/trapreader.$unit"
done
in_ct systemctl enable --now trapreader.socket >/dev/null 2>&1 || fail "cannot enable trapreader.socket"
reader=trapreader listener=trapreader.socket
reboot
first=$((first + 100000))
run_row reader-socket-restart "$first" 300
in_ct systemctl disable --now trapreader.socket >/dev/null 2>&1
printf '%s\n' '[Unit]' 'After=systemd-tmpfiles-setup.service' 'Before=snmptrapd.service' '[Service]' \
    'ExecStart=/usr/local/bin/trapreader /run/corvane.p' '[Install]' 'WantedBy=multi-user.target' \
    >"$root/etc/systemd/system/trapreader.service"
recipe man8/reduzezezev.8 "reader tmpfiles" | sed 's/READER/root/' >"$root/etc/tmpfiles.d/corvane.conf"
in_ct systemctl daemon-reload
in_ct systemctl enable trapreader.service >/dev/null 2>&1
listener=trapreader.service
reboot
first=$((first + 100000))
run_row reader-restart "$first" 300

power_off
if [ "$failures" -ne 0 ]; then
    echo "lifecycle_test: $failures failure(s)"
    exit 1
fi
echo "lifecycle_test: nothing lost without a trace"
