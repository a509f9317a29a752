#!/usr/bin/env bash
# The whole file path as a user meets it: tarnix-cli reading a capture file
# from the page cache, with and without the reader thread, with and without
# a database, each timed as a whole process beside a bare libpcap read of the
# same file (tarnix_bare_read), in turns, ROUNDS times. Prints the median
# wall time of each and its speed as a share of the bare read's.
#
#   bench/file_path.sh BUILD_DIR CAPTURE [ROUNDS]
#
# Make the capture with bench/tools/make_lan_capture.py, e.g.
#   python3 bench/tools/make_lan_capture.py /tmp/lan8m.pcap --frames 8000000 --hosts 400 --max-payload 200
# On a machine shared with other work, single runs scatter: compare medians
# and look at the spread printed beside them.
set -euo pipefail
build=${1:?usage: file_path.sh BUILD_DIR CAPTURE [ROUNDS]}
capture=${2:?capture file}
rounds=${3:-5}
here=$(cd "$(dirname "$0")/.." && pwd)
cli=$build/src/cli/tarnix-cli
bare=$build/bench/tarnix_bare_read
protocols=$here/data/protocol.pdl
[ -x "$cli" ] && [ -x "$bare" ] || { echo "build tarnix-cli and tarnix_bare_read in $build first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat "$capture" >/dev/null  # into the page cache

names=(bare ahead direct ahead_db direct_db)
run() {
  case $1 in
    bare) "$bare" "$capture" ;;
    ahead) "$cli" --read "$capture" --no-resolve --protocols "$protocols" ;;
    direct) "$cli" --read "$capture" --no-resolve --no-read-ahead --protocols "$protocols" ;;
    ahead_db | direct_db)
      rm -rf "$work/db" && mkdir "$work/db"
      local extra=()
      [ "$1" = direct_db ] && extra=(--no-read-ahead)
      "$cli" --read "$capture" --no-resolve "${extra[@]}" --db "$work/db" --protocols "$protocols"
      ;;
  esac
}

export -f run
export bare cli capture protocols work
# One line per run: name, wall seconds, CPU seconds (user + system).
for ((r = 0; r < rounds; r++)); do
  for name in "${names[@]}"; do
    /usr/bin/time -f "$name %e %U %S" -a -o "$work/times" bash -c "run $name" >"$work/out" 2>"$work/err" ||
      { echo "$name failed:" >&2; cat "$work/err" >&2; exit 1; }
  done
done

python3 - "$work/times" "${names[@]}" <<'PY'
import statistics, sys
wall, cpu = {}, {}
for line in open(sys.argv[1]):
    name, e, u, s = line.split()
    wall.setdefault(name, []).append(float(e))
    cpu.setdefault(name, []).append(float(u) + float(s))
bare = statistics.median(wall["bare"])
print(f"{'run':<10} {'wall median':>11} {'min':>6} {'max':>6} {'share of bare':>13} {'CPU median':>10}")
for name in sys.argv[2:]:
    w = wall[name]
    m = statistics.median(w)
    print(f"{name:<10} {m:11.3f} {min(w):6.3f} {max(w):6.3f} {bare / m:13.2f} {statistics.median(cpu[name]):10.3f}")
PY
