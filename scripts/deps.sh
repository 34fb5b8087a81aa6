#!/usr/bin/env bash
# Installs the Debian packages the build, tests and benchmarks need (as root).
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev nlohmann-json3-dev libgtest-dev libgmock-dev
  libbenchmark-dev python3 util-linux procps tmux libc++-dev libc++abi-dev vim less)
# The protocol schema checks validate with jsonschema; the package check builds a .deb
# (shared-library dependencies, hardening flags), reads its manual pages and runs lintian.
packages+=(python3-jsonschema dpkg-dev man-db lintian)
# The web terminal example is tested in Debian's headless Chromium.
packages+=(chromium)
# The Rust client: Debian's own toolchain and crates, built offline from /usr/share/cargo/registry.
packages+=(rustc cargo librust-serde-dev librust-serde-derive-dev librust-serde-json-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# The Node.js client's tests: any Node.js 18 or later will do, Debian's when there is none.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The Node.js client's development packages and the web terminal example's, pinned by their lock files.
for node_dir in "$(dirname "$0")/../clients/node" "$(dirname "$0")/../examples/web-terminal"; do
  if [ ! -f "$node_dir/node_modules/.package-lock.json" ] ||
    [ "$node_dir/package-lock.json" -nt "$node_dir/node_modules/.package-lock.json" ]; then
    (cd "$node_dir" && npm ci --no-audit --no-fund --loglevel=error)
  fi
done
