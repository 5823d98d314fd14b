#!/usr/bin/env bash
# The shared object must export exactly the functions declared in the public
# header: nothing internal may leak (callers would come to depend on it), and
# nothing declared may be missing.
# Usage: check_exports.sh zrqapi.h libzrqapi.so pending_exports.txt
set -euo pipefail
header=$1 library=$2 pending_file=$3

declared=$(sed -n 's/^ZRQ_API([^)]*) *\([A-Za-z_0-9]*\)(.*/\1/p' "$header" | sort -u)
exported=$(nm -D --defined-only "$library" | awk 'NF == 3 { print $3 }' | sort -u)
# Names another branch of work has still to deliver: absence is reported, not failed.
pending=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$pending_file" | tr -d '[:blank:]' | sort -u)

if [ "$(echo "$declared" | wc -l)" -lt 10 ]; then
    echo "FAIL: found only $(echo "$declared" | wc -w) declarations in $header; has its form changed?"
    exit 1
fi

status=0
extra=$(comm -13 <(echo "$declared") <(echo "$exported"))
if [ -n "$extra" ]; then
    echo "FAIL: visible in $library but not declared in the header:"
    echo "$extra" | sed 's/^/  /'
    status=1
fi

missing=$(comm -23 <(echo "$declared") <(echo "$exported"))
unexpected=$(comm -23 <(echo "$missing") <(echo "$pending"))
if [ -n "$unexpected" ]; then
    echo "FAIL: declared in the header but not exported:"
    echo "$unexpected" | sed 's/^/  /'
    status=1
fi
still_pending=$(comm -12 <(echo "$missing") <(echo "$pending"))
if [ -n "$still_pending" ]; then
    echo "PENDING: $(echo "$still_pending" | wc -l) declared functions not written yet (listed in $pending_file):"
    echo "$still_pending" | tr '\n' ' ' | fold -s -w 76 | sed 's/^/  /'
    echo
fi
landed=$(comm -12 <(echo "$exported") <(echo "$pending"))
if [ -n "$landed" ]; then
    echo "NOTE: these have landed; take them off $pending_file:"
    echo "$landed" | tr '\n' ' ' | fold -s -w 76 | sed 's/^/  /'
    echo
fi

echo "$(echo "$declared" | wc -l) declared, $(echo "$exported" | wc -l) exported"
exit $status
