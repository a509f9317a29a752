#!/usr/bin/env bash
# Alarms end to end: a capture of real curl traffic (direct and through
# tinyproxy) replayed through the headless program with a fresh database.
# URL occurrence alarms fire exactly once per recorded access; a host
# threshold alarm fires while the host is over its threshold and never when
# the threshold is out of reach.
#
# usage: alarm_e2e.sh TARNIX_CLI PROTOCOL_FILE CAPTURE [WORKDIR]
set -euo pipefail

cli=${1:?usage: alarm_e2e.sh TARNIX_CLI PROTOCOL_FILE CAPTURE [WORKDIR]}
pdl=${2:?usage}
pcap=${3:?usage}
work=${4:-$(mktemp -d)}
mkdir -p "$work/db"

fail() {
  echo "alarm_e2e: $*" >&2
  exit 1
}

out="$work/summary.json"
"$cli" --read "$pcap" --protocols "$pdl" --no-resolve --db "$work/db" --json \
  --alarm 'url:http://10.77.0.1/index.html:occurrence:index page' \
  --alarm 'url:http://10.77.0.1/p.html:occurrence:p page' \
  --alarm 'host:10.77.0.2:threshold-high:packets:1:client busy' \
  --alarm 'host:10.77.0.2:threshold-high:packets:100000:client flooding' \
  --alarm 'net:threshold-low:packets:0:never' \
  >"$out" 2>"$work/stderr.txt" || fail "tarnix-cli failed: $(cat "$work/stderr.txt")"

python3 - "$out" "$work/stderr.txt" <<'PY' || fail "unexpected firings (summary in $out)"
import json, sys
summary = json.load(open(sys.argv[1]))
fired = {a["notify"]: a["firings"] for a in summary["alarms"]}
log = open(sys.argv[2]).read()
checks = [
    ("index page", fired.get("index page") == 2, "two direct requests for /index.html"),
    ("p page", fired.get("p page") == 1, "one direct request for /p.html"),
    ("client busy", 1 <= fired.get("client busy", 0) <= 39, "the client sent 39 frames"),
    ("client flooding", fired.get("client flooding") == 0, "out of reach"),
    ("never", fired.get("never") == 0, "below 0 is impossible"),
]
bad = [f"{name}: fired {fired.get(name)} ({why})" for name, ok, why in checks if not ok]
# Every firing is logged as "time  notify string".
if log.count("  index page") != 2:
    bad.append("the alarm log does not show the two 'index page' firings")
for b in bad:
    print("alarm_e2e:", b, file=sys.stderr)
sys.exit(1 if bad else 0)
PY
echo "alarm_e2e: ok"
