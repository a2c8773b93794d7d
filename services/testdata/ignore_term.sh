#!/bin/sh
# Test plug-in: ignores SIGTERM, prints one line and hangs for thirty seconds
# (a bound, so that nothing waits on it for ever); only SIGKILL ends it.
trap '' TERM
printf 'waiting\n'
exec sleep 30
