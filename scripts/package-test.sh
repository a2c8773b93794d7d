#!/bin/sh
# Builds the Debian package, checks it with lintian and against a package
# built from a build directory configured without a prefix, installs it with
# apt, and checks it as an administrator would meet it: files, owners and
# modes, the receive-buffer limit, the unit and its reload, log rotation, and
# the installed daemon running as user kivo against a database of this
# script's own, with traps that snmptrapd, started as the package's drop-in
# starts it (under umask 027), hands to each installed spool handler, and
# an SNMPv3 trap and INFORM; the drop-in for snmptrapd.socket. Then
# removes the package and checks that snmptrapd names nothing of it, purges
# it (also after a failure) and checks that it is gone. net.core.rmem_max is
# put back as it was.
#
# Run as root on a Debian 12 machine where scripts/install-deps.sh has run,
# with no kivotrapd package installed. The database is a private cluster
# (as the postgres user, socket only, peer authentication like Debian's
# default) that is stopped and removed at the end; snmptrapd listens on
# 127.0.0.1 only.
#
#   KIVO_PACKAGE_TEST_PORT   port of the cluster (default 54339)
#   KIVO_PACKAGE_TRAP_PORT   UDP port of snmptrapd (default 1163)
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PGPORT=${KIVO_PACKAGE_TEST_PORT:-54339}
TRAPPORT=${KIVO_PACKAGE_TRAP_PORT:-1163}

if [ "$(id -u)" -ne 0 ]; then
    echo "package-test.sh: run as root (it installs a package)" >&2
    exit 1
fi
if dpkg-query -W -f='${Status}' kivotrapd 2>/dev/null | grep -q 'ok installed'; then
    echo "package-test.sh: kivotrapd is installed already; not touching it" >&2
    exit 1
fi

RMEM_BEFORE=$(sysctl -n net.core.rmem_max)
PASSED=0
FAILED=0
check() {
    # check NAME COMMAND...: one named check, counted.
    name=$1
    shift
    if "$@" >/dev/null 2>&1; then
        PASSED=$((PASSED + 1))
    else
        FAILED=$((FAILED + 1))
        echo "FAILED: $name" >&2
    fi
}
# Waits up to 20 s for a command to succeed.
wait_for() {
    i=0
    while ! "$@" >/dev/null 2>&1; do
        i=$((i + 1))
        [ "$i" -le 200 ] || return 1
        sleep 0.1
    done
}
# stat's owner:group:mode of a path.
owner_mode() { stat -c '%U:%G:%a' "$1"; }
is() { [ "$1" = "$2" ]; }

WORK=$(mktemp -d /tmp/kivo-package-test.XXXXXX)
chmod 0755 "$WORK"
BINDIR=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
DAEMON=
SNMPTRAPD=
INSTALLED=

cleanup() {
    status=$?
    [ -n "$DAEMON" ] && kill -KILL "$DAEMON" 2>/dev/null || true
    [ -n "$SNMPTRAPD" ] && kill -TERM "$SNMPTRAPD" 2>/dev/null || true
    if [ -f "$WORK/pg/data/postmaster.pid" ]; then
        runuser -u postgres -- "$BINDIR/pg_ctl" stop -D "$WORK/pg/data" -m immediate -w >/dev/null 2>&1 || true
    fi
    if [ -n "$INSTALLED" ]; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y kivotrapd >/dev/null 2>&1 || true
    fi
    sysctl -q -w net.core.rmem_max="$RMEM_BEFORE" >/dev/null 2>&1 || true
    rm -rf "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Build, and build once more from a build directory configured the usual
# way, without a prefix: the same package, paths and texts alike.
DEB=$(scripts/package.sh)
DEB=$(printf '%s\n' "$DEB" | tail -n 1)
cmake -S . -B build-deb-default -G Ninja -DBUILD_TESTING=OFF -DKIVO_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-deb-default -j "$(nproc)" >/dev/null
rm -f build-deb-default/kivotrapd_*.deb
(cd build-deb-default && cpack -G DEB >/dev/null)
# The package's files as "mode owner path", and its unpacked texts.
deb_listing() { dpkg-deb -c "$1" | awk '{ print $1, $2, $6 }'; }
deb_unpack() {
    dpkg-deb -R "$1" "$2" &&
        rm -f "$2"/usr/sbin/* "$2"/usr/lib/nagios/plugins/* "$2/DEBIAN/md5sums"
}
deb_unpack "$DEB" "$WORK/deb-usr"
deb_unpack build-deb-default/kivotrapd_*.deb "$WORK/deb-default"
check "default-configured build: same files, modes and owners" \
    is "$(deb_listing "$DEB")" "$(deb_listing build-deb-default/kivotrapd_*.deb)"
check "default-configured build: same texts and scripts" diff -r "$WORK/deb-usr" "$WORK/deb-default"
check "default-configured build: unit runs /usr/sbin/kivoTrapD" \
    grep -qx 'ExecStart=/usr/sbin/kivoTrapD' "$WORK/deb-default/usr/lib/systemd/system/kivotrapd.service"
check "default-configured build: settings under /etc" test -s "$WORK/deb-default/etc/kivo/kivo.conf"
# lintian: errors fail, warnings are shown.
LINTIAN_STATUS=0
lintian --fail-on error "$DEB" >"$WORK/lintian.log" 2>&1 || LINTIAN_STATUS=$?
grep -v 'running with root privileges' "$WORK/lintian.log" || true
check "lintian finds no error" is "$LINTIAN_STATUS" 0

# The kernel's default limit, so that the package must raise it.
sysctl -q -w net.core.rmem_max=212992
INSTALLED=yes
DEBIAN_FRONTEND=noninteractive apt-get install -y "$DEB" >"$WORK/apt.log" 2>&1 || {
    cat "$WORK/apt.log" >&2
    exit 1
}

# Files, owners and modes.
check "user kivo is a system user with no shell" \
    sh -c 'getent passwd kivo | grep -Eq "^kivo:x:[0-9]{1,3}:[0-9]+:.*:/var/lib/kivo:/usr/sbin/nologin$"'
check "daemon installed" is "$(owner_mode /usr/sbin/kivoTrapD)" root:root:755
check "compiled handler installed" is "$(owner_mode /usr/sbin/kivo-spool-handler)" root:root:755
check "settings readable by group kivo only" is "$(owner_mode /etc/kivo/kivo.conf)" root:kivo:640
check "settings are a conffile" sh -c "dpkg-query -W -f='\${Conffiles}' kivotrapd | grep -q ' /etc/kivo/kivo.conf '"
check "spool written by Debian-snmp, read by kivo, setgid" is "$(owner_mode /var/spool/kivo)" Debian-snmp:kivo:2770
check "log directory" is "$(owner_mode /var/log/kivo)" kivo:kivo:750
check "state directory" is "$(owner_mode /var/lib/kivo)" kivo:kivo:750
DROPIN=/usr/lib/systemd/system/snmptrapd.service.d/kivotrapd.conf
SOCKET_DROPIN=/usr/lib/systemd/system/snmptrapd.socket.d/kivotrapd.conf
SYSCTL_FILE=/usr/lib/sysctl.d/30-kivotrapd.conf
for f in /usr/share/kivo/schema.sql /usr/share/kivo/grants.sql /etc/kivo/snmptrapd.conf \
         /etc/logrotate.d/kivotrapd /usr/lib/systemd/system/kivotrapd.service "$DROPIN" "$SOCKET_DROPIN" \
         "$SYSCTL_FILE" /usr/share/doc/kivotrapd/copyright /usr/share/doc/kivotrapd/changelog.gz; do
    check "$f installed" test -s "$f"
done
check "self-check plug-in installed" is "$(owner_mode /usr/lib/nagios/plugins/check_kivotrapd)" \
    root:root:755
for page in man8/kivoTrapD.8 man5/kivo.conf.5 man8/kivo-spool-handler.8 man8/check_kivotrapd.8; do
    check "man page $page compressed" sh -c "zcat /usr/share/man/$page.gz | grep -q '^\.TH '"
done
check "README installed, compressed" sh -c "zcat /usr/share/doc/kivotrapd/README.md.gz | grep -q '^# kivoTrapD'"
check "alerting rules installed and pass their tests" \
    sh -c 'cd /usr/share/kivo && promtool test rules kivotrapd.rules.test.yml'
check "copyright is machine-readable" grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    /usr/share/doc/kivotrapd/copyright
check "net.core.rmem_max raised to 16 MiB at install" test "$(sysctl -n net.core.rmem_max)" -ge 16777216
check "staging directory setgid, group kivo" is "$(owner_mode /var/spool/.kivo.staging)" Debian-snmp:kivo:2750
if command -v systemd-analyze >/dev/null 2>&1; then
    # verify warns about a unit it only half understands without failing.
    check "unit verifies without a word" sh -c \
        'out=$(systemd-analyze verify /usr/lib/systemd/system/kivotrapd.service 2>&1) && [ -z "$out" ]'
    check "snmptrapd's unit with the drop-in verifies" systemd-analyze verify snmptrapd.service
    check "snmptrapd's socket with the drop-in verifies" systemd-analyze verify snmptrapd.socket
    check "snmptrapd's socket asks for a receive buffer of 16 MiB" sh -c \
        'systemd-analyze cat-config systemd/system/snmptrapd.socket | grep -qx "ReceiveBuffer=16M"'
fi

# The database as the README makes it, on a private cluster.
mkdir -p "$WORK/pg/socket"
chown -R postgres: "$WORK/pg"
runuser -u postgres -- "$BINDIR/initdb" -D "$WORK/pg/data" -U postgres --auth-local=peer \
    --auth-host=scram-sha-256 --encoding=UTF8 --no-locale --no-sync >"$WORK/initdb.log" 2>&1
cat >>"$WORK/pg/data/postgresql.conf" <<CONF
listen_addresses = ''
port = $PGPORT
unix_socket_directories = '$WORK/pg/socket'
fsync = off
CONF
runuser -u postgres -- "$BINDIR/pg_ctl" start -D "$WORK/pg/data" -l "$WORK/pg/server.log" -w -t 60 >/dev/null
export PGHOST="$WORK/pg/socket" PGPORT
runuser -u postgres -- createuser kivo
runuser -u postgres -- createdb kivo
runuser -u postgres -- psql -X -q -v ON_ERROR_STOP=1 -d kivo -f /usr/share/kivo/schema.sql
runuser -u postgres -- psql -X -q -v ON_ERROR_STOP=1 -d kivo -f /usr/share/kivo/grants.sql
install -d -o kivo -g kivo "$WORK/alerts"
printf '#!/bin/sh\necho "alert $*" >> %s/alerts/alerts.log\n' "$WORK" >"$WORK/alert.sh"
chmod 0755 "$WORK/alert.sh"
runuser -u postgres -- psql -X -q -v ON_ERROR_STOP=1 -v alert_program="$WORK/alert.sh" \
    -d kivo -f /usr/share/kivo/sample.sql
psql_kivo() { runuser -u postgres -- psql -X -A -t -v ON_ERROR_STOP=1 -d kivo -c "$1"; }

# The installed settings with this cluster's socket and port.
sed -e "s|^PGSQL_host=.*|PGSQL_host=$WORK/pg/socket|" -e "s|^PGSQL_port=.*|PGSQL_port=$PGPORT|" \
    /etc/kivo/kivo.conf >"$WORK/kivo.conf"
chown root:kivo "$WORK/kivo.conf"
chmod 0640 "$WORK/kivo.conf"
LOG=/var/log/kivo/kivotrapd.log
log_has() { grep -qF -- "$1" "$LOG"; }

# snmptrapd as the package's drop-in starts it (the unit's user Debian-snmp,
# its arguments with the snippet that KIVO_SNMPTRAPD_CONF names), logging
# into a file and listening on loopback only, under umask 027: the spool's
# setgid bit and the in-process handler still give every file the group
# kivo. snmptrapd's own /etc/snmp/snmptrapd.conf is read too.
# start_snmptrapd [SNIPPET] starts it with SNIPPET in place of the drop-in's.
mkdir "$WORK/snmp"
chmod 0777 "$WORK/snmp"
start_snmptrapd() {
    snippet=${1:-$(sed -n 's/^Environment=KIVO_SNMPTRAPD_CONF=//p' "$DROPIN")}
    command=$(sed -n 's/^ExecStart=\(..*\)$/\1/p' "$DROPIN")
    command=$(printf '%s\n' "$command" | sed -e "s|\${KIVO_SNMPTRAPD_CONF}|$snippet|" \
        -e "s| -LOw | -Dread_config:file -Lf $WORK/snmp/snmptrapd.log |" \
        -e "s| udp:162 udp6:162\$| udp:127.0.0.1:$TRAPPORT|")
    rm -f "$WORK/snmp/snmptrapd.log"
    # shellcheck disable=SC2086
    (umask 027 && exec setpriv --reuid=Debian-snmp --regid=Debian-snmp --init-groups $command) \
        >"$WORK/snmp/snmptrapd.out" 2>&1 &
    SNMPTRAPD=$!
    wait_for grep -q "NET-SNMP version" "$WORK/snmp/snmptrapd.log" ||
        { cat "$WORK/snmp/snmptrapd.log" >&2; exit 1; }
}
stop_snmptrapd() {
    kill -TERM "$SNMPTRAPD"
    wait "$SNMPTRAPD" 2>/dev/null || true
    SNMPTRAPD=
}
spool_file() { for f in /var/spool/kivo/trap-*; do [ -e "$f" ] && echo "$f" && return 0; done; return 1; }

# The in-process handler, before the daemon runs: the trap waits in the spool.
check "in-process snippet installed" test -s /etc/kivo/snmptrapd-perl.conf
check "in-process handler installed" test -s /usr/share/kivo/kivo-spool-handler.pl
start_snmptrapd
check "snmptrapd reads its own settings" grep -q 'Reading configuration /etc/snmp/snmptrapd.conf' \
    "$WORK/snmp/snmptrapd.log"
check "snmptrapd reads the in-process snippet" \
    grep -q 'Reading configuration /etc/kivo/snmptrapd-perl.conf' "$WORK/snmp/snmptrapd.log"
snmptrap -v 2c -c public "udp:127.0.0.1:$TRAPPORT" '' .1.3.6.1.4.1.99.0.1 \
    .1.3.6.1.4.1.99.1 i 1 .1.3.6.1.4.1.99.2 s "disk almost full"
wait_for spool_file || { cat "$WORK/snmp/snmptrapd.log" >&2; exit 1; }
check "umask 027: spool file of group kivo, readable by it" \
    sh -c '[ "$(stat -c %G:%a "$1")" = kivo:640 ]' - "$(spool_file)"
check "umask 027: staging directory still setgid, group kivo" \
    is "$(owner_mode /var/spool/.kivo.staging)" Debian-snmp:kivo:2750
check "in-process handler: nothing left in staging" sh -c '[ -z "$(ls -A /var/spool/.kivo.staging)" ]'

# The daemon as the unit runs it: user kivo, in the foreground.
KIVO_CONF="$WORK/kivo.conf" setpriv --reuid=kivo --regid=kivo --init-groups \
    /usr/sbin/kivoTrapD >"$WORK/console" 2>&1 &
DAEMON=$!
wait_for log_has "#INFO#load Trap service " || { cat "$LOG" "$WORK/console" >&2; exit 1; }
check "daemon connects as role kivo by peer authentication" log_has "#INFO#Connection database sucessful"
METRICS=/var/lib/kivo/kivotrapd.prom
wait_for test -s "$METRICS" || true
check "metrics file written by the daemon" is "$(owner_mode "$METRICS")" kivo:kivo:644
wait_for sh -c "/usr/lib/nagios/plugins/check_kivotrapd -f $METRICS | grep -q '^KIVOTRAPD OK - '" || true
check "the installed check finds the installed daemon OK" sh -c \
    "/usr/lib/nagios/plugins/check_kivotrapd -f $METRICS | grep -q '^KIVOTRAPD OK - '"
wait_for log_has 'EXEC#RETURN exec 1' || { cat "$LOG" "$WORK/snmp/snmptrapd.log" >&2; exit 1; }
wait_for test -s "$WORK/alerts/alerts.log" || true
check "in-process handler: plug-in ran with the trap's values" \
    log_has 'EXEC#/usr/lib/nagios/plugins/check_dummy 1 "disk almost full"'
check "error record opened" is "$(psql_kivo 'SELECT count(*) FROM kivo_error_happen')" 1
check "alerting program ran" grep -q 'alert --error' "$WORK/alerts/alerts.log"
check "trap log written" grep -q '127.0.0.1' /var/log/kivo/trap_receive.log
wait_for sh -c '[ -z "$(ls -A /var/spool/kivo)" ]' || true
check "in-process handler: spool emptied" sh -c '[ -z "$(ls -A /var/spool/kivo)" ]'
stop_snmptrapd

# The compiled handler's snippet, as the drop-in's variable switches to it.
start_snmptrapd /etc/kivo/snmptrapd.conf
snmptrap -v 2c -c public "udp:127.0.0.1:$TRAPPORT" '' .1.3.6.1.4.1.99.0.1 \
    .1.3.6.1.4.1.99.1 i 2 .1.3.6.1.4.1.99.2 s "disk full"
wait_for log_has 'EXEC#RETURN exec 2' || { cat "$LOG" "$WORK/snmp/snmptrapd.log" >&2; exit 1; }
check "plug-in ran with the trap's values" log_has 'EXEC#/usr/lib/nagios/plugins/check_dummy 2 "disk full"'
check "service row written" is "$(psql_kivo 'SELECT service_previous_state FROM kivo_services')" 2
wait_for sh -c '[ -z "$(ls -A /var/spool/kivo)" ]' || true
check "spool emptied" sh -c '[ -z "$(ls -A /var/spool/kivo)" ]'
stop_snmptrapd

# SNMPv3 through the in-process snippet, the users in a file of the
# administrator's own (here added to the snippet with -c; their keys kept in
# a directory of this test's): an authPriv trap with the sender's engine ID,
# and an INFORM with snmptrapd's own.
cat >"$WORK/snmp/users.conf" <<'USERS'
createUser -e 0x8000000001020304 trapuser SHA trapauthpass AES trapprivpass
createUser informuser SHA informauthpass AES informprivpass
authUser log,execute trapuser
authUser log,execute informuser
USERS
export SNMP_PERSISTENT_DIR="$WORK/snmp/persist"
start_snmptrapd "/etc/kivo/snmptrapd-perl.conf,$WORK/snmp/users.conf"
unset SNMP_PERSISTENT_DIR
snmptrap -v 3 -e 0x8000000001020304 -u trapuser -l authPriv -a SHA -A trapauthpass -x AES \
    -X trapprivpass "udp:127.0.0.1:$TRAPPORT" '' .1.3.6.1.4.1.99.0.1 \
    .1.3.6.1.4.1.99.1 i 3 .1.3.6.1.4.1.99.2 s "v3 trap"
wait_for log_has 'EXEC#RETURN exec 3' || { cat "$LOG" "$WORK/snmp/snmptrapd.log" >&2; exit 1; }
check "SNMPv3 trap: plug-in ran" log_has 'EXEC#/usr/lib/nagios/plugins/check_dummy 3 "v3 trap"'
check "SNMPv3 trap: service row written" is "$(psql_kivo 'SELECT service_previous_state FROM kivo_services')" 3
check "SNMPv3 INFORM acknowledged" snmpinform -v 3 -u informuser -l authPriv -a SHA -A informauthpass \
    -x AES -X informprivpass "udp:127.0.0.1:$TRAPPORT" '' .1.3.6.1.4.1.99.0.1 \
    .1.3.6.1.4.1.99.1 i 0 .1.3.6.1.4.1.99.2 s "v3 inform"
wait_for log_has 'EXEC#RETURN exec 0' || { cat "$LOG" "$WORK/snmp/snmptrapd.log" >&2; exit 1; }
check "SNMPv3 INFORM: plug-in ran" log_has 'EXEC#/usr/lib/nagios/plugins/check_dummy 0 "v3 inform"'
check "SNMPv3 INFORM: service row written" is "$(psql_kivo 'SELECT service_previous_state FROM kivo_services')" 0
check "SNMPv3: the user and type in snmptrapd's log" grep -q \
    'kivo-spool-handler.pl: INFORM, SNMPv3 user "informuser", from UDP: \[127.0.0.1\]' "$WORK/snmp/snmptrapd.log"
STATUS=0
snmpinform -r 0 -v 3 -u informuser -l authPriv -a SHA -A wrongauthpass -x AES -X informprivpass \
    "udp:127.0.0.1:$TRAPPORT" '' .1.3.6.1.4.1.99.0.1 >/dev/null 2>&1 || STATUS=$?
check "SNMPv3: a wrong pass phrase is refused" test "$STATUS" -ne 0
check "SNMPv3: the refusal in snmptrapd's log" grep -q 'Authentication failed for informuser' \
    "$WORK/snmp/snmptrapd.log"
stop_snmptrapd

# Rotation: copy and truncate for the system log, a move for the trap log;
# the daemon goes on writing into the emptied file.
if command -v logrotate >/dev/null 2>&1; then
    logrotate -f -s "$WORK/logrotate.state" /etc/logrotate.d/kivotrapd
    check "system log rotated" grep -q 'load Trap service' "$LOG.1"
    check "trap log rotated" test -s /var/log/kivo/trap_receive.log.1
fi
kill -HUP "$DAEMON"
wait_for log_has "#INFO#SIGHUP: system log reopened $LOG"
check "SIGHUP reopens the log and the daemon runs on" kill -0 "$DAEMON"

# "systemctl reload kivotrapd" as systemd would run it: the unit's ExecReload=
# commands in order, as the unit's user, $MAINPID the daemon's, stopping at
# the first that fails; the daemon then reloads its services.
reload_through_unit() {
    sed -n 's/^ExecReload=//p' /usr/lib/systemd/system/kivotrapd.service |
        sed "s/\$MAINPID/$DAEMON/g" | while read -r command; do
            # shellcheck disable=SC2086
            KIVO_CONF="$WORK/kivo.conf" timeout 30 setpriv --reuid=kivo --regid=kivo --init-groups \
                $command || exit 1
        done
}
# The plain SIGHUP above reloaded the services once already.
reloads() { grep -c '#INFO#services reloaded: ' "$LOG" || true; }
wait_for sh -c "[ \"\$(grep -c '#INFO#services reloaded: ' $LOG)\" -ge 1 ]" || true
RELOADS_BEFORE=$(reloads)
check "reload through the unit: every ExecReload= command succeeds" reload_through_unit
wait_for sh -c "[ \"\$(grep -c '#INFO#services reloaded: ' $LOG)\" -gt $RELOADS_BEFORE ]" || true
check "reload through the unit: services reloaded" test "$(reloads)" -gt "$RELOADS_BEFORE"
check "daemon runs on after the reload" kill -0 "$DAEMON"
kill -TERM "$DAEMON"
STATUS=0
wait "$DAEMON" || STATUS=$?
DAEMON=
check "SIGTERM stops with status 0" is "$STATUS" 0
check "stop lines written" log_has "#INFO# kivoTrapD is stopping ... SIGTERM"
check "last metrics file: no worker" grep -q '^kivotrapd_workers 0$' "$METRICS"
STATUS=0
/usr/lib/nagios/plugins/check_kivotrapd -f "$METRICS" >/dev/null || STATUS=$?
check "the check is CRITICAL on a stopped daemon" is "$STATUS" 2

# A failed start ends with status 1, so that the unit restarts it; the log
# of the run before is kept.
sed -i "s|^PGSQL_db=.*|PGSQL_db=kivo_missing|" "$WORK/kivo.conf"
STATUS=0
KIVO_CONF="$WORK/kivo.conf" setpriv --reuid=kivo --regid=kivo --init-groups \
    /usr/sbin/kivoTrapD >"$WORK/console" 2>&1 || STATUS=$?
check "failed start ends with status 1" is "$STATUS" 1
check "failure in the log" log_has "POSTGRESQL EXCEPTION"
check "previous run's log kept" grep -q 'kivoTrapD is stopping' "$LOG.previous"

# Remove: snmptrapd runs on its own settings alone, names no file of ours and
# complains about none; the receive-buffer limit keeps its running value.
DEBIAN_FRONTEND=noninteractive apt-get remove -y kivotrapd >"$WORK/apt.log" 2>&1
check "drop-in removed with the package" test ! -e "$DROPIN"
check "socket drop-in removed with the package" test ! -e "$SOCKET_DROPIN"
check "sysctl file removed with the package" test ! -e "$SYSCTL_FILE"
check "net.core.rmem_max kept at remove" test "$(sysctl -n net.core.rmem_max)" -ge 16777216
check "after remove nothing snmptrapd reads names a file of ours" sh -c '! grep -rqs \
    -e /etc/kivo -e /usr/share/kivo -e kivo-spool-handler -e KIVO_SNMPTRAPD_CONF \
    /etc/snmp /usr/share/snmp /var/lib/snmp \
    /etc/systemd/system/snmptrapd.service /etc/systemd/system/snmptrapd.service.d \
    /usr/lib/systemd/system/snmptrapd.service /usr/lib/systemd/system/snmptrapd.service.d \
    /usr/lib/systemd/system/snmptrapd.socket.d'
# snmptrapd as its own unit starts it, on loopback.
rm -f "$WORK/snmp/snmptrapd.log"
setpriv --reuid=Debian-snmp --regid=Debian-snmp --init-groups \
    snmptrapd -f -Lf "$WORK/snmp/snmptrapd.log" "udp:127.0.0.1:$TRAPPORT" &
SNMPTRAPD=$!
wait_for grep -q "NET-SNMP version" "$WORK/snmp/snmptrapd.log" || true
stop_snmptrapd
check "after remove snmptrapd starts without a word of ours" \
    sh -c '! grep -qi -e kivo -e "No such file" "$1"' - "$WORK/snmp/snmptrapd.log"

# Purge: the package and the daemon's files go, the database stays.
ERRORS=$(psql_kivo 'SELECT count(*) FROM kivo_error_happen')
DEBIAN_FRONTEND=noninteractive apt-get purge -y kivotrapd >"$WORK/apt.log" 2>&1
INSTALLED=
check "package gone" sh -c "! dpkg-query -W -f='\${Status}' kivotrapd 2>/dev/null | grep -q installed"
for path in /usr/sbin/kivoTrapD /etc/kivo /var/log/kivo /var/lib/kivo /var/spool/kivo /var/spool/.kivo.staging \
            /usr/lib/systemd/system/kivotrapd.service /etc/logrotate.d/kivotrapd \
            /usr/lib/systemd/system/snmptrapd.service.d /usr/lib/systemd/system/snmptrapd.socket.d; do
    check "$path removed by purge" test ! -e "$path"
done
check "database untouched by purge" is "$(psql_kivo 'SELECT count(*) FROM kivo_error_happen')" "$ERRORS"

echo "package test: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
