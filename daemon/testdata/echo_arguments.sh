#!/bin/sh
# Test plug-in: prints each argument between brackets on one line, exits 0.
for argument in "$@"; do
    printf '[%s]' "$argument"
done
printf '\n'
