#!/bin/sh
# Test plug-in: print_bytes.sh COUNT STATUS
# Prints COUNT times the letter x, without a line feed, and exits STATUS.
head -c "$1" /dev/zero | tr '\0' x
exit "$2"
