#!/usr/bin/env bash
# The sensor's service face end to end: metrics and the JSON API of a live
# capture fed by tcpreplay at recorded pace (two scrapes that promtool
# accepts, counters that grow as the traffic does, 200 slow clients that
# change neither the capture nor its memory beyond a bound, the live summary
# equal to the final one); the token rule; events as JSON lines across a
# SIGHUP rotation, one per stored request; an alarm delivered to a webhook
# receiver and to a journal socket, and to a receiver that is down.
#
# usage: service_e2e.sh TARNIX_CLI PROTOCOLS [WORKDIR]
# Needs root, ip, tcpreplay, curl, python3, sqlite3 and unshare; promtool is
# used when present. Exits 77 (skip) when something else is missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
if [ -n "${3:-}" ]; then
  E2E_WORK=$3
  E2E_KEEP=1
fi
e2e_init service_e2e
cli=$(readlink -f "${1:?usage: service_e2e.sh TARNIX_CLI PROTOCOLS [WORKDIR]}")
protocols=$(readlink -f "${2:?usage: service_e2e.sh TARNIX_CLI PROTOCOLS [WORKDIR]}")
work=$E2E_WORK
helpers=$here/service_helpers.py
e2e_need_root
e2e_need ip tcpreplay curl python3 sqlite3 unshare
"$cli" --help | grep -q -- --listen || e2e_skip "tarnix-cli has no --listen option"
lan_tool=$here/../../bench/tools/make_lan_capture.py

# --- Metrics, API and slow clients on a live capture ------------------------
rate=400
python3 "$lan_tool" "$work/lan.pcap" --frames $((rate * 14)) --rate $rate --hosts 50 --max-payload 400 >/dev/null
e2e_netns_pair
sleep 1
ns=$E2E_NS_B
port=9411
ip netns exec "$ns" "$cli" --interface "$E2E_IF_B" --no-resolve --json --top 5 --listen 127.0.0.1:$port \
  --protocols "$protocols" >"$work/final.json" 2>"$work/live.err" &
sensor=$!
E2E_PIDS+=("$sensor")
for _ in $(seq 1 100); do
  grep -q "capturing on" "$work/live.err" 2>/dev/null && break
  sleep 0.1
done
grep -q "capturing on" "$work/live.err" || e2e_fail "the sensor did not start capturing"
rss_before=$(awk '/VmRSS/ {print $2}' "/proc/$sensor/status")

# Scrapes come from 127.0.0.2, the slow clients from 127.0.0.1: each
# address has its own share of the port.
scrape() { ip netns exec "$ns" curl -sf --max-time 10 --interface 127.0.0.2 "http://127.0.0.1:$port$1"; }
counter() { awk -v n="$1" '$1 ~ "^"n"[{]" {print $2}' "$2"; }
ip netns exec "$E2E_NS_A" tcpreplay -q -i "$E2E_IF_A" "$work/lan.pcap" >"$work/tcpreplay.log" 2>&1 &
replay=$!
E2E_PIDS+=("$replay")
# What the sending side has put on the wire, as its interface counts it: a
# loaded machine makes tcpreplay fall behind the capture's own pace.
sent() { ip netns exec "$E2E_NS_A" cat "/sys/class/net/$E2E_IF_A/statistics/tx_packets"; }
sleep 3
s1a=$(sent)
scrape /metrics >"$work/m1.txt" || e2e_fail "first scrape failed"
s1b=$(sent)
E2E_LOG=$work/slow.log e2e_bg "$ns" python3 "$helpers" slow $port 200 8
sleep 5
s2a=$(sent)
scrape /metrics >"$work/m2.txt" || e2e_fail "second scrape failed (with 200 slow clients connected)"
s2b=$(sent)
if command -v promtool >/dev/null; then
  for m in m1 m2; do promtool check metrics <"$work/$m.txt" >"$work/promtool_$m.log" 2>&1 || e2e_fail "promtool refuses $m"; done
else
  echo "service_e2e: promtool not installed; exposition not checked by it" >&2
fi
f1=$(counter tarnix_frames_seen_total "$work/m1.txt")
f2=$(counter tarnix_frames_seen_total "$work/m2.txt")
python3 - "$f1" "$f2" "$s1a" "$s1b" "$s2a" "$s2b" <<'PY' || e2e_fail "frame counter did not grow with the traffic"
import sys
f1, f2, s1a, s1b, s2a, s2b = map(int, sys.argv[1:])
# Frames the sensor has taken but not yet counted (its 100 ms cycle) make
# up the slack.
low, high = s2a - s1b, s2b - s1a
slack = 0.1 * high + 60
print("frames counted between scrapes: %d; sent meanwhile: %d to %d" % (f2 - f1, low, high))
sys.exit(0 if low - slack <= f2 - f1 <= high + slack and f2 - f1 > 0 else 1)
PY
wait "$replay" || e2e_fail "tcpreplay failed"
sleep 2
scrape /api/summary >"$work/live.json" || e2e_fail "no live summary"
scrape "/api/top?n=3" | python3 -c 'import json,sys; d=json.load(sys.stdin); assert len(d["hosts"]) == 3, d' ||
  e2e_fail "/api/top?n=3"
rss_peak=$(awk '/VmHWM/ {print $2}' "/proc/$sensor/status")
kill -INT "$sensor"
wait "$sensor" || e2e_fail "the sensor ended with status $?"
python3 "$helpers" compare "$work/live.json" "$work/final.json" || e2e_fail "live and final summaries differ"
python3 - "$work/final.json" $((rate * 14)) <<'PY' || e2e_fail "the capture lost frames"
import json, sys
s = json.load(open(sys.argv[1]))
print("final: seen %d of %s sent, dropped by kernel %d, by interface %d" %
      (s["frames_seen"], sys.argv[2], s["dropped_by_kernel"], s["dropped_by_interface"]))
sys.exit(0 if s["dropped_by_kernel"] == 0 and s["frames_seen"] >= int(sys.argv[2]) else 1)
PY
growth=$((rss_peak - rss_before))
echo "memory: resident ${rss_before} kB before the slow clients, peak ${rss_peak} kB (growth ${growth} kB)"
[ "$growth" -le 32768 ] || e2e_fail "memory grew by ${growth} kB with 200 slow clients (bound 32 MB)"
cat "$work/slow.log"

# --- Who may ask ------------------------------------------------------------
small=$work/small.pcap
python3 "$lan_tool" "$small" --frames 3000 --rate 500 --hosts 5 >/dev/null
if "$cli" --read "$small" --listen 0.0.0.0:9412 --protocols "$protocols" >/dev/null 2>"$work/open.err"; then
  e2e_fail "a non-loopback --listen without a token was accepted"
fi
grep -q -- "--listen-token-file" "$work/open.err" || e2e_fail "no clear message: $(cat "$work/open.err")"
printf 'e2e-token-%s\n' "$$" >"$work/token"
chmod 600 "$work/token"
"$cli" --read "$small" --replay-speed 1 --no-resolve --listen 0.0.0.0:9412 --listen-token-file "$work/token" \
  --protocols "$protocols" >/dev/null 2>"$work/token.err" &
tok=$!
E2E_PIDS+=("$tok")
sleep 1.5
code=$(curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:9412/metrics)
[ "$code" = 401 ] || e2e_fail "without the token: $code, not 401"
code=$(curl -s -o /dev/null -w '%{http_code}' -H "Authorization: Bearer wrong" http://127.0.0.1:9412/metrics)
[ "$code" = 401 ] || e2e_fail "with a wrong token: $code, not 401"
code=$(curl -s -o /dev/null -w '%{http_code}' -H "Authorization: Bearer e2e-token-$$" http://127.0.0.1:9412/metrics)
[ "$code" = 200 ] || e2e_fail "with the token: $code, not 200"
wait "$tok" || e2e_fail "the token run failed"
echo "token: refused without it (401), answered with it"

# --- Events across a rotation, one per stored request -----------------------
python3 "$here/http_flood_pcap.py" "$work/flood.pcap" 16000 50
mkdir -p "$work/db"
"$cli" --read "$work/flood.pcap" --replay-speed 1 --no-resolve --db "$work/db" --events "$work/events.jsonl" \
  --events-interval 2 --protocols "$protocols" >"$work/events_run.out" 2>"$work/events_run.err" &
ev=$!
E2E_PIDS+=("$ev")
sleep 4
mv "$work/events.jsonl" "$work/events.jsonl.1"
kill -HUP "$ev"
wait "$ev" || e2e_fail "the events run failed with status $?"
[ -s "$work/events.jsonl.1" ] && [ -s "$work/events.jsonl" ] || e2e_fail "the rotation left an empty file"
counts=$(python3 "$helpers" jsonl "$work/events.jsonl.1" "$work/events.jsonl") || e2e_fail "an events line is no JSON: $counts"
lines=$(python3 - "$work/events.jsonl.1" "$work/events.jsonl" <<'PY'
import json, sys
print(sum(1 for p in sys.argv[1:] for l in open(p) if json.loads(l)["type"] in ("request", "tls")))
PY
)
rows=$(sqlite3 -batch -noheader "$work/db/tarnix.db" "SELECT count(*) FROM url_hist")
echo "events: $counts; request lines $lines, database rows $rows"
[ "$lines" = "$rows" ] && [ "$rows" -gt 0 ] || e2e_fail "request lines ($lines) and stored rows ($rows) differ"

# --- Alarm delivery: webhook and journal ------------------------------------
python3 "$helpers" receiver 9413 "$work/hook.jsonl" >"$work/receiver.log" 2>&1 &
E2E_PIDS+=("$!")
for _ in $(seq 1 100); do
  (exec 3<>/dev/tcp/127.0.0.1/9413) 2>/dev/null && break
  sleep 0.1
done
alarm="net:threshold-high:packets:100:lan busy|to=webhook:http://127.0.0.1:9413/hook|to=syslog"
# The journal socket is a stand-in, in a mount namespace of the run's own.
unshare -m bash -c '
  set -e
  mount --make-rprivate /
  mount -t tmpfs tmpfs /run
  mkdir -p /run/systemd/journal
  python3 "$1" journal /run/systemd/journal/socket "$2" &
  j=$!
  for _ in $(seq 1 50); do [ -S /run/systemd/journal/socket ] && break; sleep 0.1; done
  "$3" --read "$4" --replay-speed 1 --duration 4 --no-resolve --alarm "$5" --protocols "$6" >"$7" 2>&1
  sleep 0.5
  kill $j' _ "$helpers" "$work/journal.jsonl" "$cli" "$small" "$alarm" "$protocols" "$work/alarm_run.log" ||
  e2e_fail "the alarm run failed"
[ -s "$work/hook.jsonl" ] || e2e_fail "the webhook receiver got nothing"
python3 - "$work/hook.jsonl" "$work/journal.jsonl" <<'PY' || e2e_fail "deliveries are not what was fired"
import json, sys
hooks = [json.loads(l) for l in open(sys.argv[1])]
journal = [json.loads(l) for l in open(sys.argv[2])]
assert all(h["type"] == "alarm" and h["alarm"] == "lan busy" and h["object"] == "network" for h in hooks), hooks
# A condition that holds delivers when it starts, then at most once a minute.
assert len(hooks) == 1, hooks
assert any(j.get("SYSLOG_IDENTIFIER") == "tarnix" and j.get("PRIORITY") == "4" and
           j.get("TARNIX_ALARM") == "lan busy" for j in journal), journal
print("webhook: %d post(s); journal: %s" % (len(hooks), journal[0]["MESSAGE"]))
PY

# --- A receiver that is down -----------------------------------------------
# Twenty seconds of traffic: the alarm holds throughout, its one post is
# tried five times (pauses of 1, 2, 4 and 8 s) and then given up, while the
# capture goes on to the end of the file.
python3 "$lan_tool" "$work/long.pcap" --frames 4000 --rate 200 --hosts 5 >/dev/null
down="net:threshold-high:packets:100:lan busy|to=webhook:http://127.0.0.1:9414/hook"
start=$(date +%s)
"$cli" --read "$work/long.pcap" --replay-speed 1 --no-resolve --json --alarm "$down" --protocols "$protocols" \
  >"$work/down.json" 2>"$work/down.err" || e2e_fail "the run with a receiver down failed"
took=$(($(date +%s) - start))
grep -q "given up after 5 tries" "$work/down.err" || e2e_fail "no retries given up"
python3 -c 'import json,sys; s=json.load(open(sys.argv[1])); assert s["frames_seen"] == 4000, s["frames_seen"]' \
  "$work/down.json" || e2e_fail "capture did not go on while the receiver was down"
[ "$took" -le 30 ] || e2e_fail "the run took ${took} s"
echo "receiver down: capture went on (4000 frames), the post given up after 5 tries, run took ${took} s"
echo "service_e2e: passed"
