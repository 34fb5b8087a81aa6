#!/usr/bin/env bash
# Builds the Debian package build/package/zelta-stdio-executor_<version>_<arch>.deb
# with Debian's hardening flags through `cpack -G DEB`, then checks it
# (tests/package/check_deb.sh). Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
dir=build/package
# Debian's own flags, as its CMake builds use them (build type None).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DZELTA_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_DOCDIR=share/doc/zelta-stdio-executor \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$dir" -j "$(nproc)"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/zelta-stdio-executor_*.deb)
bash tests/package/check_deb.sh "$deb"
echo "package: $deb"
