#!/usr/bin/env bash
# An adapter that disappears while tarnix-cli captures live (a USB adapter
# pulled, a driver reloaded; here the veth pair is deleted and made again):
# the run says so in one line, opens it again once it is back, and counts
# the frames of both spells once each. (An adapter merely set down and up
# needs nothing: the kernel resumes the same capture.)
#
# usage: reopen_e2e.sh TARNIX_CLI PROTOCOL_FILE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
e2e_init reopen_e2e
e2e_need_root
e2e_need ip python3

cli=${1:?usage: reopen_e2e.sh TARNIX_CLI PROTOCOL_FILE}
protocols=${2:?usage}
e2e_netns_pair

send() {  # N datagrams from B to A
  ip netns exec "$E2E_NS_B" bash -c "for i in \$(seq 1 $1); do echo x >/dev/udp/$E2E_IP_A/9; sleep 0.02; done" ||
    e2e_fail "cannot send datagrams"
}
wait_line() {  # TEXT: waits for a line of the run's error log
  local i
  for i in $(seq 1 150); do
    grep -q "$1" "$E2E_WORK/run.err" 2>/dev/null && return 0
    sleep 0.1
  done
  e2e_fail "no line '$1' ($(cat "$E2E_WORK/run.err"))"
}

ip netns exec "$E2E_NS_A" "$cli" --interface "$E2E_IF_A" --protocols "$protocols" --no-resolve --json \
  --filter "udp port 9" >"$E2E_WORK/run.json" 2>"$E2E_WORK/run.err" &
pid=$!
E2E_PIDS+=("$pid")
wait_line "capturing on"
send 20
sleep 0.5
ip -n "$E2E_NS_A" link del "$E2E_IF_A"
wait_line "capture on $E2E_IF_A stopped"
sleep 1.5
ip link add "$E2E_IF_A" netns "$E2E_NS_A" type veth peer name "$E2E_IF_B" netns "$E2E_NS_B"
ip -n "$E2E_NS_A" addr add "$E2E_IP_A/24" dev "$E2E_IF_A"
ip -n "$E2E_NS_B" addr add "$E2E_IP_B/24" dev "$E2E_IF_B"
ip -n "$E2E_NS_A" link set "$E2E_IF_A" up
ip -n "$E2E_NS_B" link set "$E2E_IF_B" up
wait_line "capture on $E2E_IF_A resumed"
sleep 0.5
send 30
sleep 0.5
kill -INT "$pid"
wait "$pid" || e2e_fail "tarnix-cli ended with status $?"
[ "$(grep -c 'stopped' "$E2E_WORK/run.err")" -eq 1 ] || e2e_fail "the stop was told more than once"
python3 - "$E2E_WORK/run.json" <<'PY' || e2e_fail "frames of both spells not counted once: $(cat "$E2E_WORK/run.json")"
import json, sys
s = json.load(open(sys.argv[1]))
sys.exit(0 if s["frames_counted"] == 50 else 1)
PY
echo "reopen_e2e: ok"
