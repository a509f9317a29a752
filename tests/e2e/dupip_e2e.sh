#!/usr/bin/env bash
# Duplicate-address end to end: a crafted capture in which stations claim
# 10.0.0.5 one after the other, read by the headless program with detection
# on. The report must name 10.0.0.5 with its Ethernet addresses in the order
# they were reported: the newcomer first, then the address recorded before,
# then any later ones.
#
# usage: dupip_e2e.sh TARNIX_CLI MAKE_DUPIP_PCAP [WORKDIR]
set -euo pipefail

cli=${1:?usage: dupip_e2e.sh TARNIX_CLI MAKE_DUPIP_PCAP [WORKDIR]}
maker=${2:?usage: dupip_e2e.sh TARNIX_CLI MAKE_DUPIP_PCAP [WORKDIR]}
work=${3:-$(mktemp -d)}
mkdir -p "$work"

fail() {
  echo "dupip_e2e: $*" >&2
  exit 1
}

for stations in 2 3; do
  pcap="$work/dupip_$stations.pcap"
  # The maker prints the expected finding: "10.0.0.5 MAC MAC ...".
  expected=$("$maker" "$pcap" "$stations")
  read -r address macs <<<"$expected"
  want="duplicate IP address $address: $macs"

  out="$work/out_$stations.txt"
  err="$work/err_$stations.txt"
  "$cli" --read "$pcap" --no-resolve --detect-duplicates >"$out" 2>"$err" ||
    fail "tarnix-cli failed on $pcap (see $err)"

  # Reported as found (the last report holds every address so far) ...
  grep -qxF "$want" "$err" "$out" || {
    cat "$out" "$err" >&2
    fail "no line '$want' for $stations stations"
  }
  # ... and listed at exit, once.
  listed=$(grep -cxF "$want" "$out" || true)
  [ "$listed" -eq 1 ] || {
    cat "$out" >&2
    fail "'$want' listed $listed times at exit, expected once"
  }
  # 10.0.0.7 and the gateway always used one Ethernet address each.
  if grep -qE "duplicate IP address 10\.0\.0\.(1|7)[^0-9]" "$out" "$err"; then
    fail "a false duplicate was reported"
  fi

  # Without the option nothing is reported.
  "$cli" --read "$pcap" --no-resolve >"$out" 2>"$err" || fail "tarnix-cli failed without detection"
  if grep -q "duplicate IP address" "$out" "$err"; then
    fail "duplicates reported with detection off"
  fi
done
echo "dupip_e2e: ok"
