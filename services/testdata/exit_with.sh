#!/bin/sh
# Test plug-in: exit_with.sh STATUS [LINE...]
# Prints each LINE followed by a line feed, then exits with STATUS.
status=$1
shift
for line in "$@"; do
    printf '%s\n' "$line"
done
exit "$status"
