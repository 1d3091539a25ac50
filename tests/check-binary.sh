#!/bin/sh
# Checks a built handler: the hardening it must carry, read from its ELF
# headers, symbols and code, and the pipe and trace paths compiled into it.
# READELF, NM and OBJDUMP name the binutils for the binary's architecture.
# usage: check-binary.sh BINARY PIPE TRACE [static-glibc|static-musl]
set -u
bin=$1 pipe=$2 trace=$3 linkage=${4:-}
readelf=${READELF:-readelf} nm=${NM:-nm} objdump=${OBJDUMP:-objdump}
failed=0

check() {
    if sh -c "$2" >/dev/null 2>&1; then
        echo "ok      $1"
    else
        echo "MISSING $1"
        failed=1
    fi
}

check "position-independent executable" "$readelf -hW '$bin' | grep -q 'Type:.*DYN'"
check "full RELRO: GNU_RELRO segment" "$readelf -lW '$bin' | grep -q GNU_RELRO"
check "full RELRO: immediate binding" "$readelf -dW '$bin' | grep -q BIND_NOW"
check "non-executable stack" "$readelf -lW '$bin' | grep GNU_STACK | grep -qv RWE"
if [ "$linkage" = static-musl ]; then
    echo "skipped fortified libc calls: musl has no fortified functions"
else
    check "fortified libc calls" "$nm '$bin' | grep -q '__v*[sf]*printf_chk'"
fi
check "stack protector in the handler's own functions" \
      "$objdump -d --no-show-raw-insn '$bin' | awk '/<main>:/,/^\$/' | grep -q __stack_chk_fail"
check "the paths $pipe and $trace, and no others" \
      "test \"\$($readelf -p .rodata '$bin' | sed -n 's/^ *\\[ *[0-9a-f]*\\]  //p' | grep -E 'corvane\\.(p|trc)\$' | sort -u)\" = \"\$(printf '%s\\n' '$pipe' '$trace' | sort)\""
if [ -n "$linkage" ]; then
    check "statically linked: no program interpreter" "! $readelf -lW '$bin' | grep -q INTERP"
    check "static PIE: no shared libraries needed" "! $readelf -dW '$bin' | grep -q NEEDED"
fi
exit $failed
