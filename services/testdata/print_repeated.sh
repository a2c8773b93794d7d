#!/bin/sh
# Test plug-in: print_repeated.sh COUNT LENGTH CHARACTER [STATUS]
# Prints COUNT lines, each of LENGTH copies of CHARACTER, then exits with
# STATUS (0 by default).
count=$1
line=$(head -c "$2" /dev/zero | tr '\0' "$3")
i=0
while [ "$i" -lt "$count" ]; do
    printf '%s\n' "$line"
    i=$((i + 1))
done
exit "${4:-0}"
