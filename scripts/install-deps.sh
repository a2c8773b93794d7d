#!/bin/sh
# Installs every package that building, testing and running the daemon needs.
# This list is the one place where dependencies are named: the test command,
# the local demo and CI all call this script.
set -eu

PACKAGES="
  g++ cmake ninja-build pkg-config
  dpkg-dev file lintian
  libpq-dev libboost-dev libgtest-dev
  prometheus-cpp-dev libcurl4-openssl-dev
  prometheus curl
  postgresql postgresql-client
  snmptrapd snmp libsnmp-perl
  monitoring-plugins-basic
  procps logrotate
"

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps.sh: run as root (apt-get needs it)" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $PACKAGES
