#!/usr/bin/env bash
# check_pe_rejects.sh - shows that check_pe.sh rejects a wrong program.
#
# usage: check_pe_rejects.sh CHECK_PE OBJDUMP EXE ALLOW_LIST MAX_BYTES [--as gui|console NAME] CHECK...
#
# Runs CHECK_PE on EXE (with stripping required; checked as the program
# NAME of that subsystem with --as) and passes only when it exits 1 and
# reports every named CHECK as "FAIL".

set -u
usage() { echo "usage: $0 CHECK_PE OBJDUMP EXE ALLOW_LIST MAX_BYTES [--as gui|console NAME] CHECK..." >&2; exit 2; }
[ $# -ge 6 ] || usage
check=$1 objdump=$2 exe=$3 allow_list=$4 max_bytes=$5
shift 5
profile=()
if [ "$1" = --as ]; then
    [ $# -ge 4 ] || usage
    profile=("$2" "$3")
    shift 3
fi

report=$(bash "$check" "$objdump" "$exe" "$allow_list" "$max_bytes" 1 "${profile[@]}")
status=$?
echo "$report"

missed=0
if [ "$status" -ne 1 ]; then
    echo "expected exit status 1, got $status"
    missed=1
fi
for name in "$@"; do
    if ! grep -q "^FAIL $name:" <<<"$report"; then
        echo "not rejected: $name"
        missed=1
    fi
done
exit "$missed"
