#!/bin/sh
# Test plug-in: prints how many arguments it was given and exits 0.
printf '%s arguments\n' "$#"
