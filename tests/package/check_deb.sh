#!/usr/bin/env bash
# Checks a built .deb: its control fields and files, its manual pages
# (man --warnings; lintian too when installed), and that the client installed
# into a scratch root runs commands through the executor installed beside it.
set -euo pipefail
deb=$1
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"

[ "$(dpkg-deb --field "$deb" Package)" = zelta-stdio-executor ] || fail "package name"
depends=$(dpkg-deb --field "$deb" Depends)
for library in libc6 libstdc++6; do
  [[ "$depends" == *"$library"* ]] || fail "Depends lacks $library: $depends"
done

doc=usr/share/doc/zelta-stdio-executor
for file in usr/bin/stdio_executor usr/bin/stdio_client \
  usr/share/man/man1/stdio_executor.1.gz usr/share/man/man1/stdio_client.1.gz \
  $doc/protocol.md $doc/protocol.schema.json $doc/README.md $doc/reliability.md \
  $doc/copyright $doc/changelog.gz; do
  [ -f "$root/$file" ] || fail "missing /$file"
done
for program in stdio_executor stdio_client; do
  [ -x "$root/usr/bin/$program" ] || fail "/usr/bin/$program is not executable"
done

for page in stdio_executor stdio_client; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 \
    -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null || echo "man failed")
  [ -z "$warnings" ] || fail "man --warnings $page: $warnings"
  LC_ALL=C.UTF-8 man -l "$root/usr/share/man/man1/$page.1.gz" 2>/dev/null | grep -q "^NAME" ||
    fail "man $page renders no NAME section"
done

# The client, installed, once with the executor named and once finding it beside itself.
output=$(env -u ZELTA_STDIO_EXECUTOR "$root/usr/bin/stdio_client" \
  --executor "$root/usr/bin/stdio_executor" 'echo hi' </dev/null) || fail "stdio_client 'echo hi' status $?"
[[ "$output" == *hi* ]] || fail "stdio_client 'echo hi' printed: $output"
output=$(env -u ZELTA_STDIO_EXECUTOR "$root/usr/bin/stdio_client" 'printf x | tr x y' </dev/null) ||
  fail "stdio_client pipeline status $?"
[ "$output" = y ] || fail "stdio_client pipeline printed: $output"

if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" || fail "lintian"
else
  echo "lintian not installed: skipped"
fi

if [ "$failures" -gt 0 ]; then
  echo "package check: $failures failures"
  exit 1
fi
echo "package check: $deb passed"
