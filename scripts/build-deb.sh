#!/bin/sh
# Builds the Debian binary package printer-driver-rastertopwg2 as a
# packager would: prefix /usr, no tests (so no GoogleTest or Google
# Benchmark needed), runtime library dependencies from dpkg-shlibdeps.
# Prints the path of the .deb on its last line. Extra arguments go to
# cmake's configure step; BUILD_DIR picks the build directory (build-deb).
set -e
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-deb}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF "$@" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
(cd "$BUILD_DIR" && cpack -G DEB >/dev/null)
ls -t "$PWD/$BUILD_DIR"/printer-driver-rastertopwg2_*.deb | head -n 1
