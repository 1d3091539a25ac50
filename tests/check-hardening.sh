#!/bin/sh
# Checks a built handler's ELF headers for the hardening it must carry.
# usage: check-hardening.sh BINARY [static]
set -u
bin=$1
linkage=${2:-}
failed=0

check() {
    if sh -c "$2" >/dev/null 2>&1; then
        echo "ok      $1"
    else
        echo "MISSING $1"
        failed=1
    fi
}

check "position-independent executable" "readelf -hW '$bin' | grep -q 'Type:.*DYN'"
check "full RELRO: GNU_RELRO segment" "readelf -lW '$bin' | grep -q GNU_RELRO"
check "full RELRO: immediate binding" "readelf -dW '$bin' | grep -q 'BIND_NOW'"
check "non-executable stack" "readelf -lW '$bin' | grep GNU_STACK | grep -qv RWE"
check "fortified libc calls" "nm '$bin' | grep -q '__v*[sf]*printf_chk'"
check "stack protector in the handler's own functions" \
      "objdump -d --no-show-raw-insn '$bin' | awk '/<main>:/,/^\$/' | grep -q __stack_chk_fail"
for flag in -fstack-protector-strong -fstack-clash-protection -fcf-protection -fPIE; do
    check "compiled with $flag" "readelf -p .GCC.command.line '$bin' | grep -q -- '$flag'"
done
if [ "$linkage" = static ]; then
    check "statically linked: no program interpreter" "! readelf -lW '$bin' | grep -q INTERP"
    check "static PIE: no shared libraries needed" "! readelf -dW '$bin' | grep -q NEEDED"
fi
exit $failed
