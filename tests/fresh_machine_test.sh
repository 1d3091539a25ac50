#!/bin/sh
# The README's two commands, as a newcomer runs them on a fresh machine of
# the kind the project is developed on: a minimal Debian root with only the
# compiler, make, CMake, GoogleTest, valgrind, strace, git, python3 and
# systemd's tools (no pkg-config, libsystemd-dev, musl-dev or snmptrapd),
# made with mmdebstrap and run with systemd-nspawn without a network, as a
# user who is not root, in a fresh clone of the tree. Either command failing,
# or the demo not showing its trap, fails the test.
#
# usage: fresh_machine_test.sh [WORK_DIR]
#   WORK_DIR  keeps the root's tarball between runs (default: a temporary
#             directory, removed afterwards)
# Exits 77 (skipped), saying why, where no container can be made.
set -u
source=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-}
keep=${1:+yes}
skip() { echo "skipped: $*"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "a container needs root"
for tool in systemd-nspawn mmdebstrap git; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -n "$work" ] || work=$(mktemp -d /var/tmp/fresh.XXXXXX)
mkdir -p "$work"
root="$work/root"
cleanup() {
    rm -rf "$root"
    [ -n "$keep" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 2' INT TERM

suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
tarball="$work/fresh-$suite.tar"
if [ ! -s "$tarball" ]; then
    mmdebstrap --quiet --variant=minbase \
        --include=g++,make,cmake,libgtest-dev,valgrind,strace,git,python3,systemd \
        "$suite" "$tarball" >"$work/mmdebstrap.log" 2>&1 \
        || { tail -5 "$work/mmdebstrap.log"; rm -f "$tarball"; skip "mmdebstrap could not make a root"; }
fi
rm -rf "$root" && mkdir -p "$root" && tar -C "$root" -xf "$tarball"
git -c safe.directory="$source" clone -q "$source" "$root/home/newcomer/reduzezezev"

# The two commands, one after the other, each bounded in time.
status=0
timeout 1500 systemd-nspawn --quiet --register=no --keep-unit --private-network -D "$root" \
    sh -c 'useradd -M -d /home/newcomer newcomer && chown -R newcomer: /home/newcomer &&
           cd /home/newcomer/reduzezezev &&
           runuser -u newcomer -- timeout 300 cmake --workflow --preset demo >/home/newcomer/demo.log 2>&1 &&
           runuser -u newcomer -- timeout 1200 cmake --workflow --preset test >/home/newcomer/test.log 2>&1' \
    || status=$?
grep -E "^-- (The handler's C library|trapsink):" "$root/home/newcomer/demo.log"
if [ "$status" -ne 0 ]; then
    tail -40 "$root/home/newcomer/test.log" 2>/dev/null || tail -40 "$root/home/newcomer/demo.log"
    echo "FAIL: the README's commands on a fresh machine (status $status)"
    exit 1
fi
if ! grep -q '^=== end of trap 1: 329 bytes ===$' "$root/home/newcomer/demo.log"; then
    tail -20 "$root/home/newcomer/demo.log"
    echo "FAIL: the demo did not show its trap"
    exit 1
fi
grep -E 'tests passed|Skipped\)' "$root/home/newcomer/test.log"
echo "fresh_machine_test: the README's two commands pass on a fresh machine"
