#!/bin/sh
# A throwaway PostgreSQL cluster for the tests.
#
#   pgcluster.sh start DIR   makes a new cluster in DIR (removing whatever an
#                            earlier run left there), starts it and loads
#                            db/schema.sql into the template database
#                            kivo_template
#   pgcluster.sh stop DIR    stops that cluster and removes DIR
#   pgcluster.sh halt DIR    stops the server of that cluster, keeping DIR
#   pgcluster.sh resume DIR  starts it again
#
# KIVO_PG_PORT sets the port of a new cluster (default 54329); tests that
# stop their server make clusters of their own with ports of their own.
#
# The server listens on no TCP address at all: only on the unix socket
# DIR/socket/.s.PGSQL.$PORT, with trust authentication for the superuser
# postgres. So it never meets a server that happens to run on the machine,
# and two clusters in two directories never meet each other. The server
# refuses to run as root, so as root initdb and the server run as the
# postgres user. Tests find the cluster through KIVO_TEST_PGDIR=DIR: the
# socket directory DIR/socket and the port written in DIR/port.
set -eu

PORT=${KIVO_PG_PORT:-54329}
TEMPLATE=kivo_template

usage() {
    echo "usage: $0 start|stop|halt|resume DIR" >&2
    exit 2
}

absolute() {
    case "$1" in
        /*) echo "$1" ;;
        *) echo "$(pwd)/$1" ;;
    esac
}

ACTION=${1:-}
[ $# -eq 2 ] || usage
DIR=$(absolute "$2")
SCHEMA="$(cd "$(dirname "$0")/.." && pwd)/db/schema.sql"

BINDIR=$(pg_config --bindir 2>/dev/null || true)
if [ ! -x "$BINDIR/initdb" ]; then
    BINDIR=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
fi
if [ ! -x "$BINDIR/initdb" ]; then
    echo "pgcluster.sh: no PostgreSQL server binaries (initdb) found; run scripts/install-deps.sh" >&2
    exit 1
fi

# Runs a server program as the owner of the cluster.
as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

stop_cluster() {
    # Refuses to remove a directory that is not a cluster of this script.
    if [ -d "$DIR" ] && [ -n "$(ls -A "$DIR")" ] && [ ! -e "$DIR/port" ]; then
        echo "pgcluster.sh: $DIR is not a test cluster; not removing it" >&2
        exit 1
    fi
    if [ -f "$DIR/data/postmaster.pid" ]; then
        as_owner "$BINDIR/pg_ctl" stop -D "$DIR/data" -m immediate -w -t 30 >/dev/null 2>&1 || true
    fi
    rm -rf "$DIR"
}

# An empty DIR with its socket folder and port file, owned by the server's
# user.
make_directory() {
    stop_cluster
    mkdir -p "$DIR/socket"
    echo "$PORT" >"$DIR/port"
    if [ "$(id -u)" -eq 0 ]; then
        chown -R postgres: "$DIR"
    fi
    chmod 0755 "$DIR"
}

# Settings appended last, so that they win over the defaults.
configure() {
    # Durability is worthless for a cluster that lives for one test run.
    cat >>"$DIR/data/postgresql.conf" <<CONF
listen_addresses = ''
port = $PORT
unix_socket_directories = '$DIR/socket'
fsync = off
synchronous_commit = off
full_page_writes = off
CONF
}

run_server() {
    as_owner "$BINDIR/pg_ctl" start -D "$DIR/data" -l "$DIR/server.log" -w -t 60 >/dev/null || {
        cat "$DIR/server.log" >&2
        exit 1
    }
}

halt_server() {
    as_owner "$BINDIR/pg_ctl" stop -D "$DIR/data" -m fast -w -t 60 >/dev/null
}

start_cluster() {
    make_directory
    as_owner "$BINDIR/initdb" -D "$DIR/data" -U postgres --auth=trust \
        --encoding=UTF8 --no-locale --no-sync >"$DIR/initdb.log" 2>&1 || {
        cat "$DIR/initdb.log" >&2
        exit 1
    }
    configure
    run_server
    "$BINDIR/psql" -X -q -h "$DIR/socket" -p "$PORT" -U postgres -d postgres \
        -v ON_ERROR_STOP=1 -c "CREATE DATABASE $TEMPLATE"
    "$BINDIR/psql" -X -q -h "$DIR/socket" -p "$PORT" -U postgres -d "$TEMPLATE" \
        -v ON_ERROR_STOP=1 -f "$SCHEMA"
    echo "PostgreSQL test cluster running: KIVO_TEST_PGDIR=$DIR"
}

case "$ACTION" in
    start) start_cluster ;;
    stop) stop_cluster ;;
    halt) halt_server ;;
    resume) run_server ;;
    *) usage ;;
esac
