#!/usr/bin/env bash
# check_pe_rejects.sh - shows that check_pe.sh rejects a wrong program.
#
# usage: check_pe_rejects.sh CHECK_PE OBJDUMP EXE ALLOW_LIST MAX_BYTES CHECK...
#
# Runs CHECK_PE on EXE (with stripping required) and passes only when it
# exits 1 and reports every named CHECK as "FAIL".

set -u
if [ $# -lt 6 ]; then
    echo "usage: $0 CHECK_PE OBJDUMP EXE ALLOW_LIST MAX_BYTES CHECK..." >&2
    exit 2
fi
check=$1 objdump=$2 exe=$3 allow_list=$4 max_bytes=$5
shift 5

report=$(bash "$check" "$objdump" "$exe" "$allow_list" "$max_bytes" 1)
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
