#!/usr/bin/env bash
# Least privilege, end to end on a veth pair in network namespaces:
#  1. tarnix-cli given cap_net_raw,cap_net_admin through file capabilities
#     and started as an unprivileged user holds no capability once it
#     captures (every thread), hands none on, and still counts the frames.
#  2. Started as root with --user nobody it runs as nobody, with nobody's
#     group and no capability, and makes its database folder and files
#     nobody's and private.
#  3. A database folder nobody cannot write stops the run with one line
#     before capture starts.
#  4. Alarms stored by root with --user nobody go into a database that
#     nobody owns, so nobody's capture runs can use it.
#
# usage: privilege_e2e.sh TARNIX_CLI PROTOCOL_FILE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
e2e_init privilege_e2e
e2e_need_root
e2e_need ip setcap setpriv python3

cli_built=${1:?usage: privilege_e2e.sh TARNIX_CLI PROTOCOL_FILE}
protocols_src=${2:?usage}
getent passwd nobody >/dev/null || e2e_skip "no user nobody"
nobody_gid=$(id -g nobody)

# The unprivileged user must reach the program and its protocol file.
chmod 0711 "$E2E_WORK"
mkdir -m 0755 "$E2E_WORK/bin"
cli=$E2E_WORK/bin/tarnix-cli
cp "$cli_built" "$cli"
chmod 0755 "$cli"
cp "$protocols_src" "$E2E_WORK/bin/protocol.pdl"
chmod 0644 "$E2E_WORK/bin/protocol.pdl"
protocols=$E2E_WORK/bin/protocol.pdl
setcap cap_net_raw,cap_net_admin=p "$cli" 2>/dev/null || e2e_skip "the file system takes no file capabilities"

e2e_netns_pair

# Capability sets (hex) of every thread of a process, one "name value" a line.
caps_of() {
  local pid=$1 t
  for t in /proc/"$pid"/task/*; do
    grep -E '^Cap(Inh|Prm|Eff|Amb):' "$t/status" | tr -d '\t'
  done
}

# Waits for the "capturing on" line of a run's error log.
wait_capturing() {
  local err=$1 i
  for i in $(seq 1 100); do
    grep -q "capturing on" "$err" 2>/dev/null && return 0
    sleep 0.1
  done
  e2e_fail "tarnix-cli did not start capturing ($(cat "$err"))"
}

# Twenty datagrams from B to A (with the ARP exchange and A's replies).
send_traffic() {
  ip netns exec "$E2E_NS_B" bash -c "for i in \$(seq 1 20); do echo x >/dev/udp/$E2E_IP_A/9; sleep 0.05; done" ||
    e2e_fail "cannot send datagrams"
  sleep 0.5
}

frames_counted() {
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["frames_counted"])' "$1"
}

# 1. File capabilities, unprivileged user.
ip netns exec "$E2E_NS_A" setpriv --reuid=nobody --regid="$nobody_gid" --clear-groups \
  "$cli" --interface "$E2E_IF_A" --protocols "$protocols" --no-resolve --json \
  >"$E2E_WORK/caps.json" 2>"$E2E_WORK/caps.err" &
pid=$!
E2E_PIDS+=("$pid")
wait_capturing "$E2E_WORK/caps.err"
send_traffic
caps_of "$pid" >"$E2E_WORK/caps.txt"
[ "$(awk '{print $1}' "$E2E_WORK/caps.txt" | sort -u | wc -l)" -eq 4 ] || e2e_fail "no capability sets read"
# Only the permitted set keeps the two capture rights (to reopen a failed
# adapter); nothing is effective, inheritable or ambient.
if grep -v '^CapPrm:' "$E2E_WORK/caps.txt" | grep -v ':0000000000000000$' >&2; then
  e2e_fail "capabilities effective while capturing (above)"
fi
if grep '^CapPrm:' "$E2E_WORK/caps.txt" | grep -v ':0000000000003000$' >&2; then
  e2e_fail "permitted set holds more than the capture rights (above)"
fi
[ "$(awk '/^Uid:/{print $2}' /proc/"$pid"/status)" = 65534 ] || e2e_fail "not running as nobody"
kill -INT "$pid"
wait "$pid" || e2e_fail "the capture as nobody ended with status $?"
[ "$(frames_counted "$E2E_WORK/caps.json")" -ge 10 ] || e2e_fail "frames were not counted: $(cat "$E2E_WORK/caps.json")"

# 2. Root changing to nobody.
db=$E2E_WORK/db/run
ip netns exec "$E2E_NS_A" "$cli_built" --interface "$E2E_IF_A" --protocols "$protocols" --no-resolve --json \
  --user nobody --db "$db" >"$E2E_WORK/user.json" 2>"$E2E_WORK/user.err" &
pid=$!
E2E_PIDS+=("$pid")
wait_capturing "$E2E_WORK/user.err"
send_traffic
status=/proc/$pid/status
[ "$(awk '/^Uid:/{print $2 $3 $4 $5}' "$status")" = 65534655346553465534 ] || e2e_fail "user ids: $(grep Uid: "$status")"
[ "$(awk '/^Gid:/{print $2 $3 $4 $5}' "$status")" = "$nobody_gid$nobody_gid$nobody_gid$nobody_gid" ] ||
  e2e_fail "group ids: $(grep Gid: "$status")"
grep -q "^Groups:[[:space:]]*\(\|$nobody_gid[[:space:]]*\)$" "$status" || e2e_fail "groups: $(grep Groups: "$status")"
caps_of "$pid" >"$E2E_WORK/user_caps.txt"
if grep -v ':0000000000000000$' "$E2E_WORK/user_caps.txt" >&2; then
  e2e_fail "capabilities left after --user (above)"
fi
kill -INT "$pid"
wait "$pid" || e2e_fail "the capture with --user ended with status $?"
[ "$(frames_counted "$E2E_WORK/user.json")" -ge 10 ] || e2e_fail "frames were not counted with --user"
for d in "$E2E_WORK/db" "$db"; do
  [ "$(stat -c '%U %a' "$d")" = "nobody 700" ] || e2e_fail "$d is $(stat -c '%U %a' "$d")"
done
for f in "$db"/*; do
  [ "$(stat -c '%U %a' "$f")" = "nobody 600" ] || e2e_fail "$f is $(stat -c '%U %a' "$f")"
done

# 3. A database folder nobody cannot write.
mkdir -m 0700 "$E2E_WORK/rootdb"
rc=0
ip netns exec "$E2E_NS_A" "$cli_built" --interface "$E2E_IF_A" --protocols "$protocols" --no-resolve \
  --user nobody --db "$E2E_WORK/rootdb" --duration 1 >/dev/null 2>"$E2E_WORK/denied.err" || rc=$?
[ "$rc" -ne 0 ] || e2e_fail "a database folder nobody cannot write was accepted"
grep -qx "tarnix-cli: database folder $E2E_WORK/rootdb is not writable by user nobody" "$E2E_WORK/denied.err" ||
  e2e_fail "unexpected message: $(cat "$E2E_WORK/denied.err")"
[ "$(wc -l <"$E2E_WORK/denied.err")" -eq 1 ] || e2e_fail "more than one line: $(cat "$E2E_WORK/denied.err")"

# 4. Alarms stored for nobody.
adb=$E2E_WORK/db/alarms
"$cli_built" --protocols "$protocols" --user nobody --db "$adb" --add-alarm 'protocol:TCP:occurrence:tcp seen' \
  >"$E2E_WORK/alarm.out" 2>"$E2E_WORK/alarm.err" || e2e_fail "--add-alarm with --user: $(cat "$E2E_WORK/alarm.err")"
for f in "$adb" "$adb"/*; do
  [ "$(stat -c '%U' "$f")" = nobody ] || e2e_fail "$f is $(stat -c '%U %a' "$f")"
done
[ "$(setpriv --reuid=nobody --regid="$nobody_gid" --clear-groups "$cli_built" --protocols "$protocols" \
  --db "$adb" --list-alarms 2>&1)" = 'protocol:TCP:occurrence:tcp seen' ] || e2e_fail "nobody cannot read the alarms"

echo "privilege_e2e: ok"
