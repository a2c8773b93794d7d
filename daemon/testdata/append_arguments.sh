#!/bin/sh
# Test alerting program: append_arguments.sh FILE ARGUMENT...
# Appends one line with the other arguments to FILE.
file=$1
shift
printf '%s\n' "$*" >> "$file"
