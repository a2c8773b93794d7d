#!/bin/sh
# Test plug-in: record_and_exit.sh FILE CODE [TEXT]
# Appends one line "CODE TEXT" to FILE, prints TEXT and exits with CODE.
printf '%s %s\n' "$2" "$3" >> "$1"
printf '%s\n' "$3"
exit "$2"
