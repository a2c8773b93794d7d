#!/bin/sh
# Sets everything up and runs every test: installs the dependencies, checks
# and tests the alerting rules, builds the project, runs the whole suite,
# builds and packages it with CMake's default generator, as root builds,
# installs, checks and purges the Debian package (scripts/package-test.sh),
# runs the suite again built with AddressSanitizer, then builds with
# ThreadSanitizer and runs the thread tests under it. The suite starts and
# stops the servers it needs itself.
set -eu
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then
    scripts/install-deps.sh
fi

JOBS=$(nproc)

# The alerting rules the package installs: well-formed, and each fires on its
# case and only there (ctest runs the second too; this fails first and fast).
promtool check rules packaging/kivotrapd.rules.yml
(cd packaging && promtool test rules kivotrapd.rules.test.yml)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$JOBS" --timeout 600

# Builds and packages with CMake's default generator (Unix Makefiles) too,
# so that a rule that works only under Ninja is caught.
cmake -S . -B build-make -DBUILD_TESTING=OFF -DKIVO_BUILD_BENCHMARKS=OFF
cmake --build build-make -j "$JOBS"
(cd build-make && cpack -G DEB)

# A failing package test does not hide the sanitizer runs: its status is
# the script's at the end.
PACKAGE_STATUS=0
if [ "$(id -u)" -eq 0 ]; then
    scripts/package-test.sh || PACKAGE_STATUS=$?
fi

# The daemon under test is the sanitized one too; a fault or a leak ends it
# with a failing status, which the tests see.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKIVO_SANITIZE=address
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS="detect_leaks=1" \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 900

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKIVO_SANITIZE=thread
cmake --build build-tsan -j "$JOBS"
# ThreadSanitizer needs a fixed memory layout on kernels with wide address
# randomisation; setarch -R gives it one.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    setarch "$(uname -m)" -R \
    ctest --test-dir build-tsan --output-on-failure -j "$JOBS" --timeout 900 -R 'ThreadTest\.'

if [ "$PACKAGE_STATUS" -ne 0 ]; then
    echo "test.sh: the package test failed (status $PACKAGE_STATUS)" >&2
    exit "$PACKAGE_STATUS"
fi
