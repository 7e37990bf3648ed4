#!/bin/sh
# Formats the manual page the way man does and fails on any warning groff gives.
# Skips (77) where groff is not installed: it is needed only to read the page.
# Usage: man_page_test.sh <quivel.1>
set -u
page=$1
command -v groff >/dev/null 2>&1 || { echo "groff not installed; skipped"; exit 77; }
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
status=$?
if [ "$status" -ne 0 ] || [ -n "$warnings" ]; then
    echo "$warnings"
    echo "FAIL: groff status $status on $page"
    exit 1
fi
echo "$page formats without warnings"
