#!/bin/sh
# Prints how many "CheckErrorHappen" lookups per second the daemon's journal
# manages with 1,000 to 1,000,000 records in kivo_error_happen, with and
# without the index on open records, on a throwaway PostgreSQL cluster that
# it starts and removes itself.
#
#   bench/check-error-happen.sh [ROWS...]
#
# The build directory is build-bench (or $BUILD_DIR).
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-bench}

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" --target kivo-bench-check-error-happen >/dev/null

CLUSTER=$(mktemp -d /tmp/kivo-bench-pg-XXXXXX)
trap 'sh testing/pgcluster.sh stop "$CLUSTER"' EXIT INT TERM
# pgcluster.sh refuses to reuse a directory that is not one of its clusters.
rmdir "$CLUSTER"
sh testing/pgcluster.sh start "$CLUSTER" >/dev/null
PSQL="$(pg_config --bindir)/psql"
PORT=$(cat "$CLUSTER/port")
"$PSQL" -X -q -h "$CLUSTER/socket" -p "$PORT" -U postgres -d postgres \
    -c "CREATE DATABASE kivo_bench TEMPLATE kivo_template"

"$BUILD_DIR/kivo-bench-check-error-happen" \
    "host=$CLUSTER/socket port=$PORT dbname=kivo_bench user=postgres" "$@"
