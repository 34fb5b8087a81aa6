#!/usr/bin/env bash
# Builds and runs the whole test suite: once as built for release (with the Node.js
# client's tests and the web terminal example's against that executor), once more with every portable fallback
# in place of the Linux-only calls, once under
# AddressSanitizer and UndefinedBehaviorSanitizer, the tests that exercise
# threads and the output lock once more under ThreadSanitizer, and each fuzz
# target briefly (ZELTA_FUZZ_SECONDS each, default 20; 0 skips them). The
# executor and the client are also compiled with clang and libc++.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
started=$SECONDS
run_suite() {
  local dir=$1 filter=$2; shift 2
  cmake -S . -B "$dir" -G Ninja -DZELTA_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 ${filter:+-R "$filter"} \
    ${ctest_exclude:+-E "$ctest_exclude"})
}
# The release run records every line the end-to-end tests exchange with the
# executor; each one is checked against the protocol schema below.
export ZELTA_PROTOCOL_CAPTURE=$PWD/build/release/protocol-capture.log
rm -f "$ZELTA_PROTOCOL_CAPTURE"
run_suite build/release "" -DCMAKE_BUILD_TYPE=RelWithDebInfo
python3 tests/schema/check_protocol_lines.py --schema docs/protocol.schema.json \
  --line-check build/release/tests/request_line_check --capture "$ZELTA_PROTOCOL_CAPTURE" \
  --min-output-lines 1000
unset ZELTA_PROTOCOL_CAPTURE
(cd clients/node && ZELTA_STDIO_EXECUTOR="$PWD/../../build/release/stdio_executor" node --test test/*.test.js)
# The web terminal example in headless Chromium (bounded: well under two minutes).
(cd examples/web-terminal && ZELTA_STDIO_EXECUTOR="$PWD/../../build/release/stdio_executor" \
  timeout 300 node --test test/*.test.js)
# The Rust client against the same executor, with Debian's toolchain (the oldest
# the crate supports) even where another one comes first in PATH; its example
# runs vim on a terminal, resizes it and quits.
(cd clients/rust && export PATH="/usr/bin:$PATH" RUSTC=/usr/bin/rustc RUSTDOC=/usr/bin/rustdoc \
  CARGO_TARGET_DIR="$PWD/../../build/rust" ZELTA_STDIO_EXECUTOR="$PWD/../../build/release/stdio_executor" &&
  /usr/bin/cargo test --offline --locked && /usr/bin/cargo run --offline --locked --quiet --example vim)
run_suite build/fallbacks "" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELTA_PORTABLE_FALLBACKS=ON
# clang with libc++ and the fallbacks, as on systems without the Linux calls.
# Debian's GoogleTest is built against libstdc++, so only the programs are
# built here, and the executor answers one request as a smoke test.
CC=clang CXX=clang++ cmake -S . -B build/libcxx -G Ninja -DZELTA_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELTA_PORTABLE_FALLBACKS=ON -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ >/dev/null
cmake --build build/libcxx -j "$jobs" --target stdio_executor stdio_client
echo '{"type":"read_file","path":"/dev/null"}' | build/libcxx/stdio_executor | grep -qxF '{"exit_code":0,"content":""}'
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build/sanitize "" -DCMAKE_BUILD_TYPE=Debug -DZELTA_SANITIZE=ON
# Capture threads, the output writer and whole runs through the executor;
# the huge-input tests are too slow under this sanitizer and add no threads.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest_exclude='Huge|LargeStandardError' \
  run_suite build/tsan 'Output|ServiceLoop|Pipeline|Capture|PtyRun|Soak|Fault|Platform' \
  -DCMAKE_BUILD_TYPE=Debug -DZELTA_TSAN=ON
# The Debian package: built with cpack, inspected, unpacked into a scratch root and run.
bash scripts/package.sh
if [ "${ZELTA_FUZZ_SECONDS:-20}" != 0 ]; then
  bash scripts/fuzz.sh "${ZELTA_FUZZ_SECONDS:-20}"
fi
if command -v clang-format >/dev/null; then
  unformatted=$(git ls-files '*.cc' '*.h' '*.c' | xargs clang-format --dry-run 2>&1 | grep -c warning || true)
  echo "clang-format: ${unformatted} formatting differences"
fi
echo "test suite done in $((SECONDS - started)) s"
