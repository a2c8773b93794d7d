#!/bin/sh
# Test plug-in: prints one line, then kills itself with SIGKILL.
printf 'about to be killed\n'
kill -KILL $$
