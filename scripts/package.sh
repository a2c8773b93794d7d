#!/bin/sh
# Builds the Debian package kivotrapd_VERSION_ARCH.deb into build-deb/ and
# prints its path. Needs what scripts/install-deps.sh installs, GoogleTest
# excepted: the package is built without the tests. The package installs
# under /usr whatever the prefix; -DCMAKE_INSTALL_PREFIX=/usr only makes a
# plain "cmake --install build-deb" install the same.
set -eu
cd "$(dirname "$0")/.."

cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF -DKIVO_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-deb -j "$(nproc)" >/dev/null
rm -f build-deb/kivotrapd_*.deb
(cd build-deb && cpack -G DEB >/dev/null)
ls "$(pwd)"/build-deb/kivotrapd_*.deb
