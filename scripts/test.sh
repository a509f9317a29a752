#!/usr/bin/env bash
# Installs what is missing, builds Tarnix and runs every test suite: the
# debug build with the whole tree, and the engine again under ThreadSanitizer
# and under AddressSanitizer with UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

cmake --preset debug
cmake --build --preset debug -j "$jobs"

cmake --preset asan-ubsan
cmake --build --preset asan-ubsan -j "$jobs"

cmake --preset tsan
cmake --build --preset tsan -j "$jobs"

# One PostgreSQL server for every suite: the database tests run against it
# as well as against SQLite (without it each test process starts its own).
pgtmp=$(mktemp -d /tmp/tarnix-pg-XXXXXX)
chmod 755 "$pgtmp"
trap 'bash scripts/pg_test_server.sh stop "$pgtmp/data"; rm -rf "$pgtmp"' EXIT
if conninfo=$(bash scripts/pg_test_server.sh start "$pgtmp/data"); then
  export TARNIX_TEST_PG="$conninfo"
else
  echo "test: no shared PostgreSQL server; the database tests start their own"
fi

status=0
echo "== tests: tsan build (engine) =="
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan -j "$jobs" || status=1
echo "== tests: asan-ubsan build (engine) =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset asan-ubsan -j "$jobs" || status=1
echo "== tests: debug build (everything) =="
ctest --preset debug -j "$jobs" || status=1
exit $status
