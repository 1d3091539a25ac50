#!/bin/sh
# Static checks of the handler and the stand-in reader: clang-tidy with the
# checked-in .clang-tidy, and cppcheck. Exits non-zero on any finding.
# Clean with Debian 12's tools (clang-tidy 14, cppcheck 2.10) and Debian
# 13's (clang-tidy 19, cppcheck 2.17).
# usage: tests/lint.sh   (from the source tree)
set -eu
cd "$(dirname "$0")/.."
sources="src/relay.cpp src/trace.cpp $(ls reader/*.cpp)"

# One file a run, compiled once: clang-tidy 14 carries va_start's state over
# from one translation unit to the next and then reports a va_list as
# uninitialised. A build's compile commands hold each handler source once for
# every handler it builds, so the language is given here instead.
echo "== clang-tidy"
failed=0
for source in $sources; do
    if ! report=$(clang-tidy --quiet "$source" -- -std=c++20 2>&1); then
        printf '%s\n' "$report" | grep -v 'warnings generated\.$'
        failed=1
    fi
done
[ "$failed" -eq 0 ]

echo "== cppcheck"
# From 2.11 cppcheck stops following branches past a limit unless told to
# check them all, and says so as a finding.
exhaustive=
cppcheck --help | grep -q -- --check-level && exhaustive=--check-level=exhaustive
cppcheck --std=c++20 --language=c++ --enable=warning,style,performance,portability \
    --inline-suppr --error-exitcode=1 --quiet $exhaustive \
    -I src $sources
echo "lint: clean"
