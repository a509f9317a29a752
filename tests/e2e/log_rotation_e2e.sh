#!/usr/bin/env bash
# Log rotation the way logrotate does it: the sensor's log and events files
# are renamed while it records a paced replay, then SIGHUP. Lines written
# before are in the old files and those after in the new ones, each whole;
# together they hold every request, and the summary (in the new log file)
# counts every frame. A SIGHUP to a run without files to reopen leaves it
# running to its normal end.
#
# usage: log_rotation_e2e.sh TARNIX_CLI PROTOCOLS
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
e2e_init log_rotation_e2e
e2e_need python3 sqlite3
cli=$(readlink -f "${1:?usage: log_rotation_e2e.sh TARNIX_CLI PROTOCOLS}")
protocols=$(readlink -f "${2:?usage}")
work=$E2E_WORK
cd "$work"

# 6,000 requests, one frame each, over 3 s of capture time.
requests=6000
python3 "$here/http_flood_pcap.py" http.pcap $requests 50 || e2e_fail "cannot write the capture"

"$cli" --read http.pcap --replay-speed 1 --no-resolve --protocols "$protocols" --db db --print-requests --json \
  --log-file sensor.log --events events.jsonl --events-interval 0 &
pid=$!
E2E_PIDS+=("$pid")
for _ in $(seq 1 100); do
  [ -f sensor.log ] && [ "$(wc -l <sensor.log)" -ge 20 ] && break
  sleep 0.05
done
mv sensor.log sensor.log.1
mv events.jsonl events.jsonl.1
kill -HUP "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || e2e_fail "the run ended with status $status after SIGHUP"

rows=$(sqlite3 -batch -noheader db/tarnix.db "SELECT count(*) FROM url_hist")
python3 - "$requests" "$rows" <<'PY' || e2e_fail "the rotated files do not add up"
import json, re, sys
requests, rows = int(sys.argv[1]), int(sys.argv[2])
line = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d 10\.20\.\d+\.\d+ -> 10\.30\.0\.\d+ http://\S+ direct$")
old, new = open("sensor.log.1").read().splitlines(), open("sensor.log").read().splitlines()
summary = json.loads(new.pop())  # the summary is the last line, in the new file
printed = 0
for name, lines in (("old", old), ("new", new)):
    bad = [l for l in lines if not line.match(l)]
    assert not bad, f"{name} log file has lines that are not whole request lines: {bad[:3]}"
    assert lines, f"the {name} log file has no request line"
    printed += len(lines)
events = [json.loads(l) for f in ("events.jsonl.1", "events.jsonl") for l in open(f)]
ev_old = sum(1 for l in open("events.jsonl.1"))
assert ev_old and ev_old < len(events), f"events: {ev_old} of {len(events)} in the old file"
ev_requests = sum(1 for e in events if e["type"] == "request")
urls = summary["urls"]
print(f"log lines {len(old)} + {len(new)}, events {ev_old} + {len(events) - ev_old}, rows {rows}, "
      f"frames {summary['frames_seen']}, recorded {urls['recorded']}")
assert summary["frames_seen"] == requests and summary["frames_counted"] == requests, summary
assert urls["recorded"] == requests and urls["dropped"]["total"] == 0, urls
assert printed == ev_requests == rows == requests, (printed, ev_requests, rows)
PY

# Nothing to reopen: the hang-up is taken and the run goes on.
"$cli" --read http.pcap --replay-speed 4 --no-resolve --protocols "$protocols" --json >plain.out 2>plain.err &
pid=$!
E2E_PIDS+=("$pid")
sleep 0.3
kill -HUP "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || e2e_fail "a run without a log file ended with status $status on SIGHUP"
python3 -c 'import json,sys; assert json.load(open(sys.argv[1]))["frames_seen"] == int(sys.argv[2])' plain.out \
  "$requests" || e2e_fail "the run without a log file did not count every frame"
echo "log_rotation_e2e: passed"
