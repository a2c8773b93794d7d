#!/bin/sh
# Test plug-in: slow_record.sh FILE ARGUMENT...
# Takes a fifth of a second, then appends one line with the other arguments
# to FILE and reports OK.
file=$1
shift
sleep 0.2
printf '%s\n' "$*" >> "$file"
printf 'recorded %s\n' "$*"
