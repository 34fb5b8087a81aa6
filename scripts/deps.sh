#!/usr/bin/env bash
# Installs the Debian packages the build, tests and benchmarks need (as root).
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev nlohmann-json3-dev libgtest-dev libgmock-dev
  libbenchmark-dev python3 util-linux tmux)
# The protocol schema checks validate with jsonschema; the package check builds a .deb
# (shared-library dependencies, hardening flags) and reads its manual pages.
packages+=(python3-jsonschema dpkg-dev man-db)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
