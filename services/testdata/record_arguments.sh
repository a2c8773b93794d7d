#!/bin/sh
# Test alerting program: writes the number of its arguments and then each
# argument, one a line, into the file named by its own path with
# ".arguments" appended. A test links it into its own directory, so that
# each test gets its own record. Writes the record under a temporary name
# first, so that the record appears complete or not at all.
{
    printf '%s\n' "$#"
    for argument in "$@"; do
        printf '%s\n' "$argument"
    done
} > "$0.arguments.partial"
mv "$0.arguments.partial" "$0.arguments"
