#!/usr/bin/env bash
# Installs what is missing, builds Tarnix and runs every test suite: the
# debug build with the whole tree, the engine again under ThreadSanitizer,
# the whole tree again under AddressSanitizer with UndefinedBehaviorSanitizer,
# and every fuzz target over its seeds and a few seconds of its own inputs.
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

# The fuzz build is clang's, so it also holds the engine to its lock
# annotations: a thread-safety finding fails it (TARNIX_THREAD_SAFETY). The
# headless program is built there too, for its readers of the model.
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs" --target fuzz_targets tarnix-cli

# One PostgreSQL server for every suite: the database tests run against it
# as well as against SQLite (without it each test process starts its own).
pgtmp=$(mktemp -d /tmp/tarnix-pg-XXXXXX)
chmod 755 "$pgtmp"
fuzztmp=$(mktemp -d /tmp/tarnix-fuzz-XXXXXX)
trap 'bash scripts/pg_test_server.sh stop "$pgtmp/data"; rm -rf "$pgtmp" "$fuzztmp"' EXIT
if conninfo=$(bash scripts/pg_test_server.sh start "$pgtmp/data"); then
  export TARNIX_TEST_PG="$conninfo"
else
  echo "test: no shared PostgreSQL server; the database tests start their own"
fi

status=0
echo "== tests: tsan build (engine) =="
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan -j "$jobs" || status=1
echo "== tests: asan-ubsan build (everything) =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset asan-ubsan -j "$jobs" || status=1
echo "== tests: debug build (everything) =="
ctest --preset debug -j "$jobs" || status=1
echo "== fuzz: every target over its seeds, then a few seconds of new inputs =="
# New inputs go to a scratch folder, never into the seeds; an input that
# fails is kept in build/fuzz/findings/<target>/ and the log is shown. A
# target without seeds or without a binary fails too.
fuzz_seconds=${TARNIX_FUZZ_SECONDS:-5}
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  mkdir -p "$fuzztmp/$name" "build/fuzz/findings/$name"
  if "build/fuzz/fuzz/$name" -max_total_time="$fuzz_seconds" -artifact_prefix="build/fuzz/findings/$name/" \
      "$fuzztmp/$name" "fuzz/corpus/$name" >"$fuzztmp/$name.log" 2>&1; then
    echo "fuzz: $name: $(grep -o 'Done [0-9]* runs' "$fuzztmp/$name.log" | tail -n 1)"
  else
    echo "fuzz: $name FAILED"
    tail -n 60 "$fuzztmp/$name.log"
    status=1
  fi
done
exit $status
