#!/bin/sh
# Test plug-in: exclusive_record.sh FILE CODE TEXT
# Takes a few milliseconds at random; appends "CODE TEXT" to FILE, and
# "OVERLAP" when another run of the same FILE was running at the same time.
# Prints TEXT and exits with CODE.
mkdir "$1.running" 2>/dev/null || echo OVERLAP >> "$1"
sleep "0.0$(od -An -N1 -tu1 /dev/urandom | tr -d ' ' | cut -c1)"
printf '%s %s\n' "$2" "$3" >> "$1"
rmdir "$1.running" 2>/dev/null
printf '%s\n' "$3"
exit "$2"
